// `lorvex_interleaved`: decodes one share of planned intervals into the loader's frames block,
// flagging each row in the check block as soon as it is complete.
#include "lorvex/programs/front.hpp"

int main(int argc, char** argv) {
    return lorvex::run_interleaved_front(argc, argv);
}
