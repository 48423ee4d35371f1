// The toolkit's libraries keep caches for the life of the process that the leak checker of
// sanitizer builds would report; only they are exempt. Unused in other builds.
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n"
           "leak:libglib-2.0.so\n"
           "leak:libgobject-2.0.so\n"
           "leak:libgio-2.0.so\n"
           "leak:libgtk-3.so\n"
           "leak:libgdk-3.so\n"
           "leak:libpango\n"
           "leak:libcairo.so\n"
           "leak:libdbus-1.so\n"
           "leak:libatk\n";
}

// The same builds keep the leak checker's statistics of those exemptions off standard error,
// which in the unattended modes carries only the program's own lines.
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_options() {
    return "print_suppressions=0";
}
