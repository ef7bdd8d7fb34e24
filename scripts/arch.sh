# Sourced, not run: which Windows architecture this machine builds and runs.
#
# The product is the 32-bit DLL, and it is what runs wherever the kernel runs
# 32-bit programs. Some virtual machines run 64-bit user code only: there
# every 32-bit program, the 32-bit Wine loader among them, fails with "Exec
# format error". On those the same sources build for 64-bit Windows and the
# programs run under 64-bit Wine, so that the suite still runs the code; the
# 32-bit DLL is then only built. QVPUSH_ARCH=i686 or x86_64 forces a choice.
qvpush_arch() {
    if [ -n "${QVPUSH_ARCH:-}" ]; then
        echo "$QVPUSH_ARCH"
    elif [ -x /lib/ld-linux.so.2 ] && ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
        # The 32-bit dynamic loader (installed with wine32) cannot start.
        echo x86_64
    else
        echo i686
    fi
}
