// The utilities' start-up.
#pragma once

// Creates the three utility locks, starts the blacklist task and reads the host parameters.
// Called once by the start-up order.
void init_utils();
