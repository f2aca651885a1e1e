#pragma once

#include <filesystem>
#include <string>

// The program's one logging facility. Every line goes to the systemd journal and, with a UTC timestamp,
// to a plain-text file that the feedback report attaches. Logging never fails its caller.
namespace Diagnostics {

// Sends the message to the journal and queues "<timestamp> <message>\n" for the log file. Callable from
// any thread; returns at once. Lines from one thread reach the file in the order of the calls.
void log(const std::string& message);

// The value with exactly `decimals` digits after a dot, whatever the process's locale: log lines, the report
// and the summaries are read by people and scripts alike and must not change with the user's language.
std::string fixed(double value, int decimals);

// $XDG_STATE_HOME/Quillora/quillora.log (by default ~/.local/state/Quillora/quillora.log), fixed for the
// life of the process on first use.
std::filesystem::path fileURL();

// Waits until every line queued so far is in the file (or was dropped because the file could not be
// written). Must not be called from a task running on the log queue.
void flush();

} // namespace Diagnostics
