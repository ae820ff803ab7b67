// strerror_probe ERRNO: prints strerror(ERRNO) and a line feed as the C
// library it is linked against words it. Built and run as the tool is (on
// uClibc-ng or musl in the mips-uclibc and mips-musl builds), it tells the
// tests what the tool says for an errno, whichever C library that is.
#include <cstdio>
#include <cstring>

int main(int argc, char* argv[])
{
    int error = 0;
    // No <cstdlib>: it does not compile against uClibc-ng.
    if (argc != 2 || std::sscanf(argv[1], "%d", &error) != 1)
        return 2;
    return std::puts(std::strerror(error)) >= 0 ? 0 : 1;
}
