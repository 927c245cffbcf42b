// Where the installed measurement package lives, and how names in the shared
// /tmp are taken over. /tmp/kelvoz is a symbolic link owned by the client
// that names a tree in the state directory; a new package is put in place by
// renaming a new link onto it, which is atomic on every kernel and file
// system, and in a sticky /tmp nobody else can replace or remove the link.
#pragma once

#include <string>

namespace halvorpin {

// Moves whatever is at `path` (file, link, FIFO or any tree) out of the way
// in one rename, into a fresh directory "<aside_stem>.XXXXXX", then removes
// it there as far as possible; nothing at `path` is followed. True when
// nothing is at `path` afterwards.
bool move_aside(const char* path, const char* aside_stem);

// Renames `from` onto `to`. When `to` holds something a rename cannot
// replace (a directory), that is moved aside into the state directory first;
// a few rounds settle a race with another process. False when `to` still
// could not be had.
bool place_by_rename(const char* from, const char* to);

// A fresh, private directory for a new package tree: "<tree stem>.XXXXXX".
// Empty on failure.
std::string make_package_tree_dir();

// The tree directory /tmp/kelvoz names when it is the client's own link
// into the state directory; empty otherwise.
std::string installed_tree_dir();

// Makes /tmp/kelvoz name "<tree_dir>/kelvoz". False when the link could
// not be put in place; the installed package is then unchanged.
bool link_package(const std::string& tree_dir);

// Removes every package tree in the state directory but the installed one,
// and the work names of link_package. Called with the update lock held.
void remove_unused_package_trees();

// The record that the installed package still has to be started.
bool mark_start_pending();
bool start_pending();
void clear_start_pending();

}  // namespace halvorpin
