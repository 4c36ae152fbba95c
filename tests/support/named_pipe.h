#pragma once

#include <functional>
#include <string>

// A named pipe in the file system, for showing that code which meets one
// among media files does not wait on it.
class NamedPipe
{
public:
    explicit NamedPipe(std::string path);
    ~NamedPipe();
    NamedPipe(const NamedPipe&) = delete;
    NamedPipe& operator=(const NamedPipe&) = delete;

    bool made() const
    {
        return made_;
    }
    const std::string& path() const
    {
        return path_;
    }

    // Runs work on its own thread; true when it ends within ten seconds.
    // Otherwise the pipe is opened for writing and closed, which releases a
    // reader blocked on it with an end of file, and false is returned.
    bool finishes_without_it(const std::function<void()>& work) const;

private:
    std::string path_;
    bool made_ = false;
};
