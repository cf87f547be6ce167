// The commands of tvut_inspect. Each takes the arguments after its name,
// prints to stdout (errors to stderr) and returns the process exit code:
// 0 success, 1 the command failed, 2 the command line was wrong.
#ifndef TVUT_TOOLS_INSPECTOR_INSPECTORCOMMANDS_H
#define TVUT_TOOLS_INSPECTOR_INSPECTORCOMMANDS_H

int RunDecodeCommand(int argc, char** argv);
int RunConfigCommand(int argc, char** argv);
int RunPathsCommand(int argc, char** argv);
int RunIdentityCommand(int argc, char** argv);
int RunPendingCommand(int argc, char** argv);

#endif  // TVUT_TOOLS_INSPECTOR_INSPECTORCOMMANDS_H
