#pragma once

class TMainForm;

// A termination request (SIGTERM, SIGINT, SIGHUP: a logout, `kill`, Ctrl+C) ends the program as
// TMainForm::terminate does, within seconds; a second request ends the process at once. Installed
// anew for each window, which a test may open more than once.
void closeOnTerminationSignals(TMainForm &window);
