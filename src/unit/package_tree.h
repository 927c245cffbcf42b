// The unpacked measurement package is run as root: before it is installed
// its tree must hold nothing that another user could change, and no link
// that leads where users write.
#pragma once

#include <string>

namespace halvorpin {

// Walks the tree at `root` (a real directory) without following links.
// False (the package is refused) when it holds anything but regular files,
// directories and symbolic links, a relative link that leaves the tree, an
// absolute link into /tmp, /var/tmp, /dev/shm or any world-writable
// directory, or an entry not owned by the running user. Set-user-ID,
// set-group-ID and group or world write permissions are cleared from every
// file and directory.
bool secure_package_tree(const char* root);

// An absolute link target as the system reads it ("//bin/./sh" is
// "/bin/sh"), or empty when it is not absolute, holds "..", or lies in
// /tmp, /var/tmp or /dev/shm by its text. Whether a directory on its way is
// world-writable is seen on the unit itself, at installation.
std::string absolute_link_target(const char* target);

// True when a link at `depth` directories below the tree's top (0: directly
// in it) with `target` stays inside the tree whatever the links it passes
// through: the target is relative, any ".." come first and climb at most
// `depth` levels, and no ".." follows a name.
bool link_stays_inside(const char* target, int depth);

}  // namespace halvorpin
