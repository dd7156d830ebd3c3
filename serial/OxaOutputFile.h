// Files the programs make for their user: an archive that takes its place only once it is
// whole, and a trace written as it goes. Their paths come from the user and may lead anywhere:
// to a device (/dev/null, a serial port), a FIFO that would hold the program until somebody
// reads it, a folder, or a link that another user planted where the file is to be made. So
// the files are made here, below the front ends, one way on every system (one implementation
// file per system: serial/platform/posix_output_file.cpp, win32_output_file.cpp):
//
//   - a path that leads to anything but a regular file is refused, before anything is made;
//   - no link is followed where a file is made or opened, and no open waits on a FIFO;
//   - a failed write is remembered and reported, never dropped.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace oxa {

// Why a file could not be made or written.
enum class TOutputFailure {
  kNone,
  kNotRegular,  // the path leads to a folder, device, FIFO, socket or link: left untouched
  kInTheWay,    // the temporary file's name is taken by what no earlier run of ours left there
  kNotOurs,     // a file to write on that another user owns or may write: left untouched
  kSystem,      // the system refused: no permission, a full disk, a missing folder, ...
};

struct TOutputError {
  TOutputFailure failure = TOutputFailure::kNone;
  // kNotRegular and kInTheWay: what lies at the path ("a folder", "a FIFO", "a symbolic
  // link", ...); kNotOurs: whose file it is ("a file of another user", "a file other users may
  // write"); kSystem: the system's text for the error ("No space left on device").
  std::string detail;
};

// A file made whole before it takes the place of `target`. Its bytes go to a temporary file
// beside the target (the target's name and a suffix, such as "archive.bin.part"), created
// exclusively and without following a link; Commit writes them to the disk and renames the
// temporary over the target. An existing target of this user's keeps its permissions, except
// write permission for others that a new file would not have; another user's target is
// replaced by a file with the usual permissions, never with those of a file someone planted
// (POSIX; on Windows the new file has the folder's, as every file made there). A temporary
// left by an earlier run (a regular file of this user) is replaced; anything else under its
// name is refused.
class TOutputFile {
 public:
  TOutputFile() = default;
  // Closes the temporary file, which stays where it is unless it was committed or discarded.
  ~TOutputFile();
  TOutputFile(const TOutputFile&) = delete;
  TOutputFile& operator=(const TOutputFile&) = delete;

  // Makes the temporary file `target` + `suffix`. False, with Error() saying why, when the
  // target exists and is not a regular file, or the temporary cannot be made.
  bool Create(const std::string& target, std::string_view suffix);
  bool Opened() const { return handle_ != -1; }
  const std::string& TemporaryPath() const { return temporary_; }

  // Appends `bytes` whole; false (and from then on) when they could not all be written, with
  // what did go out of them cut off again.
  bool Write(std::span<const uint8_t> bytes);
  // Writes the data to the disk, closes the file and renames it over the target. False, with
  // Error() saying why, when any step failed; the temporary then stays.
  bool Commit();
  // Closes the temporary file and leaves it (the data written so far, for the user).
  void Keep();
  // Closes the temporary file and removes it.
  void Discard();

  const TOutputError& Error() const { return error_; }

 private:
  bool Fail(TOutputFailure failure, std::string detail);
  void Close();
  // The system's parts of Create, once the names are set, and of Commit, once a whole
  // temporary file is open.
  bool CreateTemporary();
  bool CommitOpened();

  intptr_t handle_ = -1;  // the system's file: a descriptor, or a Win32 handle
  uint64_t written_ = 0;  // bytes of the whole writes so far
  std::string target_;
  std::string temporary_;
  TOutputError error_;
};

// A file written as it goes, each write added at its end, so that a user can read it while it
// grows (a trace). Open empties it; a link at the path is not followed, a FIFO is not waited
// on, and anything but a regular file is refused. An existing file is written on only when it
// is this user's own and nobody else may write it (POSIX: owned by this user, no write
// permission for others beyond what the umask gives a new file, no second name through a hard
// link), since rows someone else added would pass for ours: anything else is refused with
// kNotOurs. Windows keeps no such owner here; there the file is held so that nobody else may
// write it while it is open, and a file with a second name is refused.
class TAppendFile {
 public:
  TAppendFile() = default;
  ~TAppendFile();
  TAppendFile(const TAppendFile&) = delete;
  TAppendFile& operator=(const TAppendFile&) = delete;

  // Opens (or creates) `path` and empties it. False, with Error() saying why, when it is not
  // a regular file, not this user's own, or cannot be opened.
  bool Open(const std::string& path);
  bool Opened() const { return handle_ != -1; }
  // Appends `text` whole; a failure is remembered (Failed(), Error()) and later writes are
  // dropped.
  void Write(std::string_view text);
  bool Failed() const { return error_.failure != TOutputFailure::kNone; }
  // Writes the data to the disk and closes the file. False when it or any write failed.
  bool Close();

  const TOutputError& Error() const { return error_; }

 private:
  void Fail(TOutputFailure failure, std::string detail);

  intptr_t handle_ = -1;
  TOutputError error_;
};

}  // namespace oxa
