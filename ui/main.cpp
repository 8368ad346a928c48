// ferrowen: the recovery window. See ui/startup.h for its two roles.
#include "ui/startup.h"

int main(int argc, char** argv) {
    return FerrowenMain(argc, argv);
}
