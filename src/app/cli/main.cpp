#include <cstdio>

#include "commands.h"

int main(int argc, char** argv) {
    CLI::App app{"Quillon: writes firmware into a solar inverter's controller over a serial line"};
    app.require_subcommand(1);
    int exitCode = kExitOk;
    AddConvertCommand(app, exitCode);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitUsage;
    }
    return exitCode;
}
