// rsdeploy download <package> -r <host type> -t <host> [-d]: installs (or,
// with -d, uninstalls) one application package on this host, reporting each
// step to the repository service. Started by the service in a container of
// the cluster; QEL_TOP and QEL_SERVICE_CREDENTIAL come from the container's
// environment. Exit status 0 on success, 1 when the deployment failed (the
// service has the error), 2 for a bad command line or no service.

#include "rs/logging/LoggingSetup.h"
#include "tools/rsdeploy/DeployCommand.h"
#include "tools/rsdeploy/ServiceChannel.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdlib>
#include <iostream>

namespace {

std::string environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app { "Install or uninstall an application package on this host" };
    app.require_subcommand(1, 1);
    CLI::App* download = app.add_subcommand("download", "deploy a package from the repository service");
    rsdeploy::DeployOptions options;
    download->add_option("package", options.package, "package name")->required();
    download->add_option("-r,--host-type", options.hostType, "type of this host")->required();
    download->add_option("-t,--host", options.host, "name of this host")->required();
    download->add_flag("-d,--uninstall", options.uninstall, "uninstall instead of install");
    CLI11_PARSE(app, argc, argv);
    // The libraries log through log4cxx; the container keeps standard error.
    // The service's own log configuration (inherited through the container's
    // environment) is not ours to write to.
    kav::LoggingSetup::configureStandardError("rsdeploy: %p %c - %m%n", log4cxx::Level::getWarn());

    options.qelTop = environment("QEL_TOP");
    rsdeploy::ServiceChannel channel(options.package, options.host, std::chrono::seconds(60));
    std::string why;
    if (!channel.open(environment("QEL_SERVICE_CREDENTIAL"), why)) {
        std::cerr << "rsdeploy: " << why << std::endl;
        return 2;
    }
    return rsdeploy::DeployCommand(options, channel).run();
}
