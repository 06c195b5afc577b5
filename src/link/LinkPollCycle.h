// LinkPollCycle: discovery of the companion apps on the connected phone and the once-a-second exchange through their link files.
#pragma once

#include "CLinkState.h"

// Looks the phone's applications up on the current device link and brings the records in line:
// a record for every companion app found (in the order of the candidates), none for an app no
// longer there. A found app's record keeps its request and response across reconnections. A
// record whose command still runs is kept until a later discovery finds it idle, since its
// command thread still writes into it. Run when the current link reports the phone connected.
void RefreshCompanionApps(CLinkState& state);

// One poll cycle, run on a worker thread per tick: for every record, open the app's container,
// write the heartbeat, deliver a finished answer, take in a new request and start its command,
// then close the container. Ends at once when another cycle still runs.
void LinkPollCycle(CLinkState* state);
