// libzmq is not built with ThreadSanitizer: its threads hand message buffers
// to one another through lock-free queues whose synchronisation TSan cannot
// see, so the library's own reads and writes (recv, memcpy, malloc called from
// it) would be reported as races with the code that fills or reads a message.
// They are left out; everything in this project's code stays checked.
extern "C" const char *__tsan_default_suppressions() { return "called_from_lib:libzmq.so\n"; }
