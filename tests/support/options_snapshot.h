// Putting the process-wide options back after a test.
//
// OptionsSnapshot takes every option when made and sets them all back when
// it goes: a fixture member (or a local at the top of a test) undoes
// whatever the test changed, whichever options those were. The access log
// has no reading side, so `log` and `log_format` go back to their defaults
// (off, logfmt), which is where every test starts.
//
// ScopedOption sets one key for its lifetime and then puts back the value
// that key had:
//
//   smb2::ScopedOption clock("clock", "1700000000");
#pragma once

#include "config/qv2_cfg_types.h"

#include <string>
#include <utility>
#include <vector>

namespace smb2 {

class OptionsSnapshot {
  public:
    OptionsSnapshot();
    ~OptionsSnapshot();
    OptionsSnapshot(const OptionsSnapshot &) = delete;
    OptionsSnapshot &operator=(const OptionsSnapshot &) = delete;

  private:
    qv2_opts saved_;
};

class ScopedOption {
  public:
    ScopedOption(const char *key, const char *value);
    ~ScopedOption();
    ScopedOption(const ScopedOption &) = delete;
    ScopedOption &operator=(const ScopedOption &) = delete;

  private:
    std::string key_, restore_;
};

// Every key dirir2i_set_option takes (but `banner`, which keeps nothing)
// with the text that sets it to its value in `o`.
std::vector<std::pair<std::string, std::string>> option_texts(const qv2_opts &o);

} // namespace smb2
