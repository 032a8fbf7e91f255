// The application object: settings store, icon, and the main window run modally.
#pragma once

#include <QApplication>

class CQuillon2App : public QApplication {
public:
    CQuillon2App(int& argc, char** argv);

    // Runs the whole program; the main window's result is not looked at.
    int InitInstance();
};
