// The utilities' start-up.
#pragma once

// Creates the three utility locks and starts the blacklist task. Called once by the start-up
// order.
void init_utils();
