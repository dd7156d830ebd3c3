// The form's port as long work borrows it (the monitor, an archive range): taken and given
// back on the window's thread, used from the work's own thread. The form model hands it out
// (TFormModel::LeasePort); tests and benchmarks make their own over a fake or a bare port.
#pragma once

#include <functional>
#include <string>

#include "devices/oxaFul0508.h"

namespace oxa {

struct TPortLease {
  // Window's thread. Takes the port (the buttons go); false while a test or other long work
  // holds it. `stop` is what the form calls to end the work when the window closes.
  std::function<bool(std::function<void()> stop)> begin;
  std::function<void()> end;  // gives the port back (closed, logged)
  // The work's thread.
  std::function<bool()> open;            // opens it as the form chose it (logged)
  std::function<void()> close;           // closes it (logged)
  std::function<void()> after_exchange;  // the exchange log's word after each exchange
  std::function<bool()> lost;            // the port lost its device (an adapter pulled)
  // Why the last open failed, whole: what the port is, what the system said, and what to do
  // about it. Empty where the lender cannot tell.
  std::function<std::string()> failure;
  ToxaFul0508* ful = nullptr;  // the Modbus master that reads, at the form's address once taken
  // The port as the user knows it ("COM3"), for the lost-adapter message; asked once taken.
  std::function<std::string()> port_name;
};

}  // namespace oxa
