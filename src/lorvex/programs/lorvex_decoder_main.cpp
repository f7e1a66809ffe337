// `lorvex_decoder`: what `lorvex` and `lorvex_interleaved` become once they have frames to
// decode; started by them only.
#include "lorvex/worker/worker_program.hpp"

int main(int argc, char** argv) {
    return lorvex::run_decoder(argc, argv);
}
