// Library load/unload notifications from the platform to the plug-in, and keeping the library
// loaded while code of ours may still run.
#pragma once

// Provided by the plug-in: the library is being unloaded, or the process is ending.
// process_terminating: the whole process ends and its other threads are gone (Windows tells the
// two apart). under_loader_lock: nothing may join threads, pump messages or call Winsock.
// True when a thread of ours that was given up may still run our code: the library must stay.
bool plugin_library_detach(bool process_terminating, bool under_loader_lock);

namespace platform {

// Keep this library loaded until the process ends: a thread of ours that was given up may run
// our code later. Cheap, and harmless to call again.
void pin_library();

}  // namespace platform
