// Service control: the run flag and the 600-second cycle.
#pragma once

#include <csignal>

constexpr unsigned int SERVICE_INTERVAL_S = 600;

// Cleared only by the SIGTERM handler.
extern volatile sig_atomic_t g_running;

// The whole life of the process; returns the exit status (always 0).
int RunService(void);
