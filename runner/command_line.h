// The process's command-line arguments as the user interface receives them.
#ifndef RUNNER_COMMAND_LINE_H_
#define RUNNER_COMMAND_LINE_H_

#include <string>
#include <vector>

namespace tonelark {

// Every argument after the program name, in order, converted to UTF-8. An argument longer than
// 32767 code units is cut to its first 32767; one that is not valid UTF-16 (an unpaired
// surrogate) keeps its place as an empty string. Empty when the command line cannot be split.
std::vector<std::string> CommandLineArguments();

}  // namespace tonelark

#endif  // RUNNER_COMMAND_LINE_H_
