"""Whether this process runs under AddressSanitizer (scripts/sanitize.sh
preloads its runtime into the interpreter)."""


def under_address_sanitizer():
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()
