// Removing trees that may hold what other users made: an impostor moved out
// of one of the client's names, or a package tree a worker was given. Root
// may remove anything, so root must not decide alone: every directory's
// entries are removed with the credentials of that directory's owner (a
// child process that drops to the owner's uid and gid), so a removal takes
// nothing its owner could not take itself. A removal is bounded in time and
// in entries; what is left stays for a later run.
#pragma once

namespace halvorpin {

// What one run may spend on removals.
class RemovalBudget {
 public:
  RemovalBudget(double seconds, long entries);
  // Takes one entry; false once the entries or the time are spent.
  bool take();
  bool spent() const;
  double deadline() const { return deadline_; }

 private:
  double deadline_;
  long entries_;
};

// The budget of one run's removals of leftovers.
inline constexpr double kRemovalSeconds = 15;
inline constexpr long kRemovalEntries = 200000;

// Removes `path` and, when it is a directory, everything below it, never
// following a link; the contents of a directory that belongs to another
// user are removed by a child running as that user. `path` itself must be a
// name in a directory only the running user can change (the state
// directory). True when the name is gone afterwards.
bool remove_tree(const char* path, RemovalBudget& budget);

// The same with a budget of its own, for the client's own small trees.
bool remove_tree(const char* path);

}  // namespace halvorpin
