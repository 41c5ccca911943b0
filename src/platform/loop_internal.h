// Shared between the event-loop backends: the timer registry and the message-box record.
#pragma once

#include <string>

#include "platform/ui.h"

namespace ui::detail {

// Earliest due time (tasks::now_ms clock) of an enabled timer, or -1 when none runs.
long long next_due_ms();
// Fire every enabled timer that is due, each once; true when one fired. UI thread only.
bool fire_due_timers();
// Backend hook: the set of timers or a due time changed (wake the waiting loop).
void timers_changed();
// Counts a pump on the user-interface thread for pump_depth().
class PumpScope {
 public:
  PumpScope();
  ~PumpScope();
  PumpScope(const PumpScope&) = delete;
  PumpScope& operator=(const PumpScope&) = delete;
};
// Run the work of post_idle() when no pump runs; backends call it at their top level.
void run_idle();

// Record a message box; true when it should also be shown natively.
bool record_message_box(const std::string& text, const std::string& caption);

}  // namespace ui::detail
