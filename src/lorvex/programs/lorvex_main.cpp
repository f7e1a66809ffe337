// `lorvex`: decodes one planned interval of a video into the loader's frames block.
#include "lorvex/programs/front.hpp"

int main(int argc, char** argv) {
    return lorvex::run_one_shot_front(argc, argv);
}
