#include "window/ArchiveRangeModel.h"

#include <charconv>
#include <utility>

#include "actions/OxaPortTexts.h"

namespace oxa {

std::optional<uint16_t> ParseArchiveBlock(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  uint32_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() ||
      value > kArchiveHighestBlock) {
    return std::nullopt;
  }
  return static_cast<uint16_t>(value);
}

TArchiveRangeModel::TArchiveRangeModel(TFormModel& form)
    : form_(form), port_(form.LeasePort()), language_(form.Language()) {}

TArchiveRangeModel::~TArchiveRangeModel() {
  if (!worker_.joinable()) return;
  Cancel();
  Finish();
}

bool TArchiveRangeModel::Start(std::string_view first, std::string_view last,
                               const std::string& path, bool resume) {
  if (worker_done_ && worker_.joinable()) Finish();  // ended since the window last looked
  if (worker_.joinable()) return false;
  language_ = form_.Language();
  const auto refuse = [this](std::string text) {
    // The last run's progress goes: the window shows only why this one did not start.
    std::lock_guard lock(mutex_);
    state_ = {};
    state_.outcome = std::move(text);
    return false;
  };
  const auto f = ParseArchiveBlock(first);
  const auto l = ParseArchiveBlock(last);
  if (!f || !l || *f > *l) {
    return refuse(std::string(Text(TText::kArchiveBadRange, language_)) +
                  std::to_string(kArchiveHighestBlock) +
                  std::string(Text(TText::kArchiveBadRangeEnd, language_)));
  }
  // The file is looked at (and a new FILE.part made) before the port is taken.
  auto download = std::make_unique<TArchiveDownload>(
      TArchiveJob{.path = path, .first = *f, .last = *l, .resume = resume}, language_);
  if (!download->Prepare()) {
    const TArchiveResult& r = download->Result();
    if (!r.Ok()) return refuse(r.text);
    // A resume of a file that holds the whole range already: done, as fulctl says it.
    std::lock_guard lock(mutex_);
    state_ = {};
    state_.total = r.total;
    state_.done = r.done;
    state_.progress = ArchiveProgressText({r.done, r.total, 0, {}}, language_);
    state_.outcome = r.text;
    state_.ok = true;
    return false;
  }
  if (!port_.begin([this] {
        Cancel();
        Finish();
      })) {
    download->Abandon();
    return refuse(std::string(Text(TText::kArchivePortBusy, language_)));
  }
  download_ = std::move(download);
  port_name_ = port_.port_name();
  cancel_ = false;
  worker_done_ = false;
  {
    std::lock_guard lock(mutex_);
    state_ = {};
    state_.running = true;
    state_.total = size_t{*l} - *f + 1;
    state_.done = download_->Result().resumed_from;
    state_.progress = ArchiveProgressText({state_.done, state_.total, 0, {}}, language_);
  }
  worker_ = std::thread([this] { Work(); });
  return true;
}

void TArchiveRangeModel::Work() {
  std::string outcome;
  bool ok = false;
  if (!port_.open()) {
    download_->Abandon();
    outcome = port_.failure();
  } else {
    TArchiveEvents events;
    events.exchanged = port_.after_exchange;
    events.progress = [this](const TArchiveProgress& progress) {
      std::lock_guard lock(mutex_);
      state_.done = progress.done;
      state_.progress = ArchiveProgressText(progress, language_);
    };
    events.stop = [this] { return cancel_.load(); };
    const TArchiveResult& r = download_->Run(*port_.ful, events);
    ok = r.Ok();
    outcome = r.text;
    if (port_.lost()) outcome += "\n" + PortLostText(port_name_, language_);
    port_.close();
  }
  {
    std::lock_guard lock(mutex_);
    state_.outcome = std::move(outcome);
    state_.ok = ok;
  }
  worker_done_ = true;
}

void TArchiveRangeModel::Cancel() {
  cancel_ = true;
}

void TArchiveRangeModel::Finish() {
  if (!worker_.joinable()) return;
  worker_.join();
  download_.reset();
  {
    std::lock_guard lock(mutex_);
    state_.running = false;
  }
  port_.end();
}

TArchiveRangeState TArchiveRangeModel::State() {
  if (worker_done_ && worker_.joinable()) Finish();
  std::lock_guard lock(mutex_);
  return state_;
}

}  // namespace oxa
