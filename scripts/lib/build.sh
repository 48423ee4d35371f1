# Sourced by the scripts that configure, build and test a tree; they run from the repository's
# root. Each function passes on the status of the command it runs.

# Configures BUILD as a Debug tree for Ninja, showing cmake's output; the arguments after BUILD
# come last, so they override the defaults (a Release build, the sanitizers, a toolchain).
kestrel_configure_shown() {
    local build=$1
    shift
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug "$@"
}

# The same without cmake's output.
kestrel_configure() {
    kestrel_configure_shown "$@" >/dev/null
}

# Builds BUILD on every core; the arguments after BUILD go to cmake --build (--target ...).
kestrel_build() {
    local build=$1
    shift
    cmake --build "$build" -j "$(nproc)" "$@"
}

# Runs BUILD's tests, each for at most TIMEOUT seconds; the arguments after TIMEOUT go to ctest.
# Most tests spend their time waiting for the card's timers: twice as many as cores run at once,
# unless KESTREL_CTEST_JOBS says how many.
kestrel_ctest() {
    local build=$1 timeout=$2
    shift 2
    ctest --test-dir "$build" --output-on-failure -j "${KESTREL_CTEST_JOBS:-$((2 * $(nproc)))}" \
        --timeout "$timeout" "$@"
}

# Bootstraps the machine, configures BUILD with the arguments after it, builds it and runs every
# test.
kestrel_configure_build_test() {
    local build=$1
    scripts/bootstrap.sh
    kestrel_configure "$@"
    kestrel_build "$build"
    kestrel_ctest "$build" 300
}
