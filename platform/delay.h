// Delay: a pause on the main thread that keeps the window responsive.
//
// Every fixed pause of the console's workflows (the button lock of the
// instrument panels, the waits of Apply and Refresh) runs a nested event loop
// until a wall-clock deadline. The loop sleeps until the next event or the
// deadline; it never spins.
#pragma once

namespace platform {

// Processes events until `ms` milliseconds of wall-clock time have passed.
// Without a running application object it simply sleeps.
void Delay(int ms);

}  // namespace platform
