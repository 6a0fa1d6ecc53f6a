// host_system: starting and stopping the host layer.
#pragma once

// Starts SDL's subsystems and the audio device; called at the first frame.
// Nothing here can fail the program: a subsystem that does not start is
// logged, and without audio the system runs silent.
void os_system_init();
// The orderly end: stops the audio device (its thread must not run into
// objects that the program's exit destroys). Call before exit().
void os_system_shutdown();
