// kerval-quarantine: lists, shows, releases and removes quarantined mail.
#include <cstdio>
#include <new>

#include "kvq_commands.h"

int main(int argc, char** argv) {
    try {
        const int status = kv::quarantine_main(argc, argv);
        if (fflush(stdout) != 0) return kv::QSTATUS_IO;
        return status;
    } catch (const std::bad_alloc&) {
        fputs("kerval-quarantine: out of memory\n", stderr);
        return kv::QSTATUS_IO;
    }
}
