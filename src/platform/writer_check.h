// WriterCheck: decides, for the files of one step run, whether another program may still be
// writing them, so that a file is never moved while it grows.
//
// The kernel is asked first (ProbeWriters, a read lease). Where it cannot tell (a file of another
// user, a network file system), a second look decides:
// - a file last modified at least kSettledAge ago counts as finished;
// - the others are looked at again after one pause for all of them together (SettleInterval,
//   2 s unless a test shortened it), and count as finished only when their size and modification
//   time (to the nanosecond) did not change.
// Until it is moved, a finished file must keep the size and modification time the check saw; a
// change makes it undecided again.
//
// One object per step run, used on the job's worker thread; not thread-safe. The interval
// setting is process-wide and may be changed from any thread.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace qx {

// A file modified at least this long ago is taken as finished without a pause.
constexpr std::chrono::seconds kSettledAge{10};

// The pause before the second look at undecided files.
std::chrono::milliseconds SettleInterval();
// For tests: a shorter pause (a zero or negative value restores the 2 s).
void SetSettleInterval(std::chrono::milliseconds interval);

class WriterCheck {
 public:
  // Takes the folder whose files are about to be moved. The look at its regular files (every
  // file once; when the kernel cannot tell for some young files, one pause and a second look at
  // those) is made when Movable first meets a file the kernel cannot tell about, over the files
  // the folder holds then: in the usual case, where the kernel answers for every file, no file is
  // looked at twice and no list of them is kept. A later call forgets the earlier look.
  void LookAt(const std::string& folder);

  // S_OK when `path` may be moved now: the kernel reports no writer, or it cannot tell and the
  // file was found finished by the look and is unchanged since. EBUSY for a file that is open
  // for writing, may be growing, or was not looked at; the cause (ELOOP, EINVAL, ENOENT, ...) when
  // `path` is no longer a regular file.
  HRESULT Movable(const std::string& path);

 private:
  // The look LookAt put off, at the files of pendingFolder_.
  void Look();

  // The folder of the last LookAt, until it is looked at.
  std::string pendingFolder_;
  // The files found finished by the look, with what they looked like then.
  std::map<std::string, FileStamp> finished_;
};

}  // namespace qx
