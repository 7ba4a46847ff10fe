// Several ports served at once, each on its own thread, so that a slow or
// failing unit never holds up the others.
#ifndef DTU_CLI_FLEET_H
#define DTU_CLI_FLEET_H

#include <functional>
#include <string>
#include <vector>

class Command;
struct Options;
struct Session;
enum class SessionResult;

// More than one port, or "all": each port's output carries its name.
bool SeveralPorts(const std::vector<std::string>& given);
// The ports as given, with "all" for every USB serial adapter listed (never
// a built-in port). A usage error when there are none, or one is repeated.
int ExpandPorts(const std::vector<std::string>& given, std::vector<std::string>* ports);
// ExpandPorts, then each name checked as a port; no port given is the one
// USB serial adapter there is.
int CheckPorts(const std::vector<std::string>& given, std::vector<std::string>* ports);
// pattern with "{port}" replaced by the port's name, its path characters
// made '_'.
std::string PortFileName(const std::string& pattern, const std::string& port);

// Runs job for every port at once. Then prints each port's result lines,
// prefixed "PORT: ", in the order given; or, for json, an array of one
// object per port. The exit code is the largest of the ports' codes.
int RunOnPorts(const std::vector<std::string>& ports, bool json,
               const std::function<int(const std::string& port)>& job);

// A device command: checks every port's name and the log before any port is
// opened, then runs job on each port, alone as always or on all at once.
int RunDevice(const Options& options, bool json, const std::function<int(Command&)>& job);
// RunDevice for a command the unit only acknowledges: step once the unit is
// found, then said as the result.
int RunAcknowledged(const Options& options, SessionResult (*step)(Session&), const char* said);

#endif
