// quillon: the desktop application. It takes no command-line options.
#include "app/gui/quillon_app.h"

int main(int argc, char** argv) {
    CQuillon2App app(argc, argv);
    return app.InitInstance();
}
