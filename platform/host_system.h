// host_system: starting and stopping the host layer.
#pragma once

// Starts SDL's subsystems and the audio device; called at the first frame.
// Nothing here can fail the program: a subsystem that does not start is
// logged, and without audio the system runs silent.
void os_system_init();
// The orderly end: stops the audio device (its thread must not run into
// objects that the program's exit destroys). Call before exit().
void os_system_shutdown();

// Has the C library's allocator keep the memory the program frees, up to a
// bound, instead of handing it back to the host at once: a process removed
// and another made (a restart, a launcher's loop) then reuse it rather than
// fault fresh pages in, which costs microseconds a page on some hosts. Blocks
// below 16 MB come from that memory too.
void os_keep_freed_memory();
