#pragma once

#include <QStringList>

// Records for a fixed time without any user interface, optionally after a few start/stop cycles, and
// prints a JSON summary of what the capture engine saw. SIGINT or SIGTERM ends the wait early; the
// recording is then finished exactly as at the end of the time.
namespace HeadlessRecording {

// Ends the process with status 0, or 1 when the final recording could not start or failed on its way
// (the summary then has an "error" key). Needs a QCoreApplication.
[[noreturn]] void run(const QStringList& arguments);

} // namespace HeadlessRecording
