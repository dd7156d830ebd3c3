// The archive range window without its drawing: a range of archive blocks read into a file
// (actions/ArchiveDownload.h) as long work of the form, on a thread of its own, so that the
// window goes on while hundreds of blocks come in.
//
// The window hands over its fields as the user typed them; Start checks them (both block
// numbers whole numbers from 0 to 8191, the first not above the last, a file named) and the
// file, takes the port from the form (TFormModel::LeasePort: the port, speed and address
// chosen in the form now), and starts the thread, which opens the port, reads, and closes it.
// The window reads State() on a timer: nothing here ever calls into the window, so no widget is
// touched off the window's thread. Cancel asks the thread to stop after the block under way;
// the blocks read so far stay in the file, which a later Start with `resume` continues.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "actions/ArchiveDownload.h"
#include "window/FormModel.h"

namespace oxa {

// What the window shows of the download.
struct TArchiveRangeState {
  bool running = false;  // a download under way: the fields wait, Cancel is offered
  size_t done = 0;       // blocks in the file, an earlier run's included
  size_t total = 0;      // blocks of the range; 0 before the first start
  // "Blocks 50 of 200, 12.5 blocks/s, time left 0:12" while it runs and after.
  std::string progress;
  // How the last start ended, or why it did not start; empty while a download runs.
  std::string outcome;
  bool ok = false;  // the last download put the whole range in the file
};

// A block number as the user typed it: a whole number from 0 to 8191, blanks around it allowed.
std::optional<uint16_t> ParseArchiveBlock(std::string_view text);

class TArchiveRangeModel {
 public:
  explicit TArchiveRangeModel(TFormModel& form);
  // Stops a download under way and waits for its thread.
  ~TArchiveRangeModel();
  TArchiveRangeModel(const TArchiveRangeModel&) = delete;
  TArchiveRangeModel& operator=(const TArchiveRangeModel&) = delete;

  // On the window's thread. False, with the reason as State().outcome and nothing sent, when a
  // field is wrong, the file is refused or another run downloads it, the port is held by a
  // test or other long work, or a download already runs; false too, with State().ok, for a
  // resume of a file that holds the whole range already.
  bool Start(std::string_view first, std::string_view last, const std::string& path, bool resume);
  // Asks the download to stop after the block under way.
  void Cancel();
  // On the window's timer: the state now. Once the thread has ended, it is joined here and
  // the port given back to the form.
  TArchiveRangeState State();

 private:
  void Work();
  // Joins the thread and gives the port back; on the window's thread.
  void Finish();

  TFormModel& form_;
  TPortLease port_;
  std::string port_name_;  // the port as the user knows it, for the lost-adapter message
  TLanguage language_;
  std::unique_ptr<TArchiveDownload> download_;
  std::thread worker_;
  std::atomic<bool> cancel_ = false;
  std::atomic<bool> worker_done_ = false;
  std::mutex mutex_;  // guards state_
  TArchiveRangeState state_;
};

}  // namespace oxa
