// WaitBounds: the time limits of the device layer, each one shortened for tests by a variable.
#pragma once

// A receive on a service socket fails after this long without a byte (30 s);
// RUVO_RECEIVE_TIMEOUT_MS may shorten it, never lengthen it.
int ReceiveTimeoutMs();

// The bound read from the variable: its value when it is a positive whole number of
// milliseconds no larger than defaultMs, else defaultMs.
int WaitBoundMs(const char* variable, int defaultMs);
