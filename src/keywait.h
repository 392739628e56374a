// The run's final "Press any key to continue." wait.
#pragma once

// Waits for one key press, without Enter, when standard input is a terminal (and leaves its
// settings as they were); otherwise reads one character, returning at once at end of input.
void waitForKey();
