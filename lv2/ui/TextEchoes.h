// Tells echoes of the UI's own texts from texts changed elsewhere. The DSP
// announces every text it takes, so each text the UI sends comes back; while
// the user types, those echoes trail the field, and showing one would undo
// the keys typed since. Echoes come back in the order the texts were sent.
//
// Threads: the UI thread only (not thread-safe); it allocates.
#pragma once

#include <algorithm>
#include <cstddef>
#include <deque>
#include <string>

namespace glimm {

class TextEchoes {
 public:
  // Beyond this many unanswered texts (a DSP that is not running), the
  // oldest are forgotten; their echoes then count as changes from elsewhere.
  static constexpr std::size_t kMaxPending = 256;

  void sent(const std::string& text) {
    m_pending.push_back(text);
    if (m_pending.size() > kMaxPending) m_pending.pop_front();
  }

  // True when an announced text belongs in the field: a change from
  // elsewhere, or the echo of the latest text sent. False for the echo of
  // a text the field has moved on from.
  bool shouldShow(const std::string& announced) {
    // The oldest equal entry: a text sent twice is echoed twice.
    const auto match = std::find(m_pending.begin(), m_pending.end(), announced);
    if (match == m_pending.end()) {
      // Someone else changed the text (a preset, the host); it wins, and
      // echoes still to come will be shown as they arrive.
      m_pending.clear();
      return true;
    }
    m_pending.erase(m_pending.begin(), match + 1);
    return m_pending.empty();
  }

  std::size_t pending() const { return m_pending.size(); }

 private:
  std::deque<std::string> m_pending;
};

}  // namespace glimm
