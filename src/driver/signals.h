// Termination signals: caught (only a request is recorded) while the updater changes
// the system, restored to their previous action while it only downloads, and re-raised
// at exit when the run did not succeed. Every change is also registered with rpmlib.
#pragma once

[[nodiscard]] bool installSignalHandlers();
[[nodiscard]] bool setSignalHandler(int signum, bool ignore);
[[nodiscard]] bool restoreSignalHandler(int signum);
bool isSignalIgnored(int signum);
[[nodiscard]] bool disableTerminationSignals();
[[nodiscard]] bool enableTerminationSignals();
[[nodiscard]] bool ignoreSighup();
bool terminationRequested();
// The first termination signal recorded, 0 when none.
int requestedSignal();
void reraiseTerminationSignal();
