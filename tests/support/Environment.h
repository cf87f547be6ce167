// Environment variables of the test process, on every system. The
// component reads its roots and policy from the environment when tests run,
// so a change here must reach the system's own copy (on Windows the C
// runtime keeps one of its own beside it: both are set).
#ifndef TVUT_TESTS_SUPPORT_ENVIRONMENT_H
#define TVUT_TESTS_SUPPORT_ENVIRONMENT_H

#include <string>

namespace tvut_test {

void SetVariable(const char* name, const std::string& value);
void UnsetVariable(const char* name);

// Saves a variable at construction and puts it back (or removes it, if it
// was not set) at destruction.
class SavedVariable {
public:
    explicit SavedVariable(const char* name);
    ~SavedVariable();
    SavedVariable(const SavedVariable&) = delete;
    SavedVariable& operator=(const SavedVariable&) = delete;

private:
    const char* name_;
    bool had_;
    std::string old_;
};

}  // namespace tvut_test

#endif  // TVUT_TESTS_SUPPORT_ENVIRONMENT_H
