// The unpacked measurement package is run as root: before it is installed
// its tree must hold nothing that another user could change or that reaches
// outside it.
#pragma once

namespace halvorpin {

// Walks the tree at `root` (a real directory) without following links.
// False (the package is refused) when it holds anything but regular files,
// directories and symbolic links that stay inside the tree, or an entry not
// owned by the running user. Set-user-ID, set-group-ID and group or world
// write permissions are cleared from every file and directory.
bool secure_package_tree(const char* root);

// True when a link at `depth` directories below the tree's top (0: directly
// in it) with `target` stays inside the tree whatever the links it passes
// through: the target is relative, any ".." come first and climb at most
// `depth` levels, and no ".." follows a name.
bool link_stays_inside(const char* target, int depth);

}  // namespace halvorpin
