// kerval-postfix: the pipe filter Postfix starts once per message.
#include <new>

#include "kv_main.h"
#include "kvc_log.h"

int main(int argc, char** argv) {
    try {
        return kv::filter_main(argc, argv);
    } catch (const std::bad_alloc&) {
        // The mail system keeps the message and tries again later.
        kv::log(kv::Errors, "kerval-pipe: out of memory");
        return 75;
    }
}
