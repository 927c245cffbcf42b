// The library's own copy of the string code was built with exceptions and
// would bring the whole unwinder along: the client carries its own. It is
// kept apart from the allocation operators (runtime.cpp), so that it reaches
// them through their symbols only.
#include <string>

template class std::basic_string<char>;
