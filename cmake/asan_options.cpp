// Built into every program of the sanitizer tree.
// GCC 12's runtime takes a dynamic TLS block that happens to start 16 bytes past a page (the GL
// driver's, now and then) for an old glibc header and reads a bogus range from it; the leak
// checker then crashes at exit after every test has passed. Not intercepting __tls_get_addr
// avoids that misreading. Weak: a library that takes it in whole may bring a second copy.
extern "C" __attribute__((weak)) const char *__asan_default_options() { return "intercept_tls_get_addr=0"; }
