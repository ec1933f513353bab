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
  // Takes the paths of the files about to be moved. The look at them (every path once; when the
  // kernel cannot tell for some young files, one pause and a second look at those) is made when
  // Movable first meets a file the kernel cannot tell about: in the usual case, where the kernel
  // answers for every file, no file is looked at twice. Paths may be given more than once over
  // the object's life; a later call looks again.
  void LookAt(std::vector<std::string> paths);

  // S_OK when `path` may be moved now: the kernel reports no writer, or it cannot tell and the
  // file was found finished by the look and is unchanged since. EBUSY for a file that is open
  // for writing, may be growing, or was not looked at; the cause (ELOOP, EINVAL, ENOENT, ...) when
  // `path` is no longer a regular file.
  HRESULT Movable(const std::string& path);

 private:
  // The look LookAt put off.
  void Look(const std::vector<std::string>& paths);

  // The paths of the last LookAt, until they are looked at.
  std::vector<std::string> pending_;
  // The files found finished by the look, with what they looked like then.
  std::map<std::string, FileStamp> finished_;
};

}  // namespace qx
