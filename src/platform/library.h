// Library load/unload notifications from the platform to the plug-in.
#pragma once

// Provided by the plug-in: the library is being unloaded. process_terminating is true when the
// whole process is ending (Windows tells the two apart; nothing may wait under the loader lock).
void plugin_library_detach(bool process_terminating);
