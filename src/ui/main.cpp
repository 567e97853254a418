// norvale: the desktop application.

#include "ui/application.h"

int main(int argc, char** argv) {
    return norvale::RunApplication(argc, argv);
}
