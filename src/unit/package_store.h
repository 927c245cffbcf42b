// The package's files, from the download to the installed tree: one owner
// for the work files in the state directory (the download as received and
// the clear archive), the tree unpacked from it, its placement at
// /tmp/kelvoz with its scheduler configuration at /tmp/schedulerconfig, the
// package request's archive at /tmp/testpackage.tar.gz, and the removal of
// whatever a run leaves or displaces.
//
// /tmp/kelvoz is a real directory of root's, never vacant and never
// another user's while a run trusts it: a new tree is exchanged with it in
// one step; where the kernel has no exchange, the installed directory is
// first emptied into the state directory and the new tree renamed onto the
// empty one, which rename replaces in one step. Nothing a user placed at
// one of these names is used: it is taken over (name_takeover.h) and
// removed as its owner (tree_removal.h), without the update lock.
#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

#include "base/owned.h"
#include "base/status.h"

namespace halvorpin {

class PackageStore {
 public:
  // The download's work files: no one's interface, so they live where only
  // root can make a name.
  static constexpr const char* kDownloadPath = "/tmp/tolvenra/download";
  static constexpr const char* kArchivePath = "/tmp/tolvenra/package.tar.gz";

  // Under the update lock, first of all: removes the work files and
  // temporary files of earlier runs (a refused download's answer among
  // them) and adopts what a killed enrollment moved aside in /tmp.
  static void clear_stale_work_files();

  // A fresh stream on the archive, for a package that comes encrypted.
  static FilePtr create_archive();
  // After a download that installed nothing: a refusal leaves the host's
  // answer for a look, anything else of it goes.
  static void discard_download(bool keep_answer);

  // Decompresses the archive with gzip straight into tar, which unpacks it
  // into a new tree in the state directory; the archive goes.
  Status unpack();
  // The unpacked tree is a package a root-run scheduler may start: its
  // scheduler configuration and start script, nothing that reaches where
  // users write, nothing another user could change.
  Status check();
  // Puts the checked tree in place, then its scheduler configuration, the
  // record that its start is due and last the version file. Until the tree
  // is in place nothing installed changes; after it, the version file keeps
  // the old version until the end, so a run that fails installs again.
  Status place(const std::string& new_version);
  // `-p`: the archive (empty unless `fetched`) becomes `product`.
  Status deliver(const char* product, bool fetched);

  // Still under the update lock, at the end of a run: every tree and
  // impostor in the state directory is noted for removal (no other update
  // can be unpacking now), but a tree the link of an earlier release names.
  void note_leftovers();
  // Without the update lock, holding the start lock (no start script runs
  // from a tree being removed): removes what was noted, each directory's
  // contents as its owner, within one run's removal budget.
  void remove_leftovers();

  // The start lock: held by the run, and by the keeper of a start script it
  // starts, while that script runs; a tree the installed package left stays
  // until it can be had. Waits up to `wait_seconds` (unit_lock.h).
  Status hold_start_lock(int wait_seconds);
  void release_start_lock() { start_lock_.reset(); }

 private:
  bool place_tree(const std::string& tree, const struct stat& staged);

  std::string staged_dir_;  // "<tree stem>.XXXXXX", the new tree's parent
  std::vector<std::string> leftovers_;
  UniqueFd start_lock_;
};

// What the record of a due start says: kDue when it names the directory at
// /tmp/kelvoz, and that is still root's (nothing else is started); kStale
// when it names anything else; kUnreadable when it is there but cannot be
// read (errno says why).
enum class StartRecord { kNone, kDue, kStale, kUnreadable };
StartRecord start_record();
void clear_start_pending();

}  // namespace halvorpin
