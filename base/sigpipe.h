#pragma once

// Logs each SIGPIPE and lets the process go on; the write that raised it fails with its error.
void sigpipe_handler(int signum);
// Installs sigpipe_handler; its line is written from the event loop, never from the handler.
void installSigpipeHandler();
