// What the files the programs make do alike on every system; the system's side is in
// serial/platform/posix_output_file.cpp and win32_output_file.cpp.
#include "serial/OxaOutputFile.h"

#include <utility>

#include "serial/platform/output_file.h"

namespace oxa {

TOutputFile::~TOutputFile() {
  Close();
}

bool TOutputFile::Fail(TOutputFailure failure, std::string detail) {
  if (error_.failure == TOutputFailure::kNone) error_ = {failure, std::move(detail)};
  return false;
}

bool TOutputFile::Create(const std::string& target, std::string_view suffix) {
  Close();
  error_ = {};
  target_ = target;
  temporary_ = target + std::string(suffix);
  written_ = 0;
  return CreateTemporary();
}

bool TOutputFile::Write(std::span<const uint8_t> bytes) {
  if (handle_ == -1 || error_.failure != TOutputFailure::kNone) return false;
  std::string why;
  if (!platform::WriteWhole(handle_, bytes.data(), bytes.size(), why)) {
    // The part of it that went out is taken back: the file holds whole writes only (whole
    // archive blocks, for one).
    platform::CutTo(handle_, written_);
    return Fail(TOutputFailure::kSystem, std::move(why));
  }
  written_ += bytes.size();
  return true;
}

bool TOutputFile::Commit() {
  if (handle_ == -1 || error_.failure != TOutputFailure::kNone) {
    Close();
    return false;
  }
  return CommitOpened();
}

void TOutputFile::Keep() {
  Close();
}

TAppendFile::~TAppendFile() {
  Close();
}

void TAppendFile::Fail(TOutputFailure failure, std::string detail) {
  if (error_.failure == TOutputFailure::kNone) error_ = {failure, std::move(detail)};
}

void TAppendFile::Write(std::string_view text) {
  if (handle_ == -1 || Failed()) return;
  std::string why;
  if (!platform::WriteWhole(handle_, text.data(), text.size(), why)) {
    Fail(TOutputFailure::kSystem, std::move(why));
  }
}

}  // namespace oxa
