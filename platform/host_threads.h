// host_threads: worker threads, started and let go (never joined).
#pragma once

struct os_thread;

using os_thread_function = int (*)(void *);

// Runs function(argument) on a new thread named "kestrune_worker"; null when
// the thread could not be started.
os_thread *os_create_thread(os_thread_function function, void *argument);
// Detaches the thread (it runs on to its end) and frees the handle; null is
// ignored.
void os_destroy_thread(os_thread *handle);
