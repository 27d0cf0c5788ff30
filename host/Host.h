#pragma once

// The whole life of the service process: login item, main loop on this thread,
// service thread, and a clean end on SIGINT or SIGTERM.
int RunHost();
