// OpenSSL is not built for the race detector: its caches of parsed
// certificates and names are filled under its own locks and read with
// atomics the detector cannot see, so it reports races inside the library
// that are none. Only reports from within OpenSSL are dropped.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libcrypto.so\n"
         "called_from_lib:libssl.so\n"
         "race:libcrypto.so\n"
         "race:libssl.so\n";
}
