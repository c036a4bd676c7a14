// kv_main: the filter's run from the command line to the exit status.
#pragma once

namespace kv {

int filter_main(int argc, char** argv);

}  // namespace kv
