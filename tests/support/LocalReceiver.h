// LocalReceiver: the local receiver (tools/ut_receiver.py), a stand-in usage
// server on 127.0.0.1, run as a child process for the life of the object.
//
// The constructor starts the receiver with its store in a scratch folder of
// its own and waits (bounded) until it listens; it throws std::runtime_error,
// with the receiver's own output, when it does not come up. The destructor
// (or Stop) sends SIGTERM, reaps the child (SIGKILL after a bounded wait) and
// removes the store. The receiver also stops by itself when the test process
// is gone, so a killed test leaves no receiver behind.
//
// The receiver is started with only the standard descriptors, so it holds
// none of the test's files or sockets. Only the process that started it stops
// it or removes its store: a forked test child that runs destructors leaves
// both alone.
//
// Threads: the queries (Requests, ArrivalCount, the waits, Release) only read
// or create files and may be called from any thread; Stop and destruction
// belong to the owning thread.
#ifndef TVUT_TESTS_SUPPORT_LOCALRECEIVER_H
#define TVUT_TESTS_SUPPORT_LOCALRECEIVER_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tvut_test {

class ScratchFolder;

struct ReceiverOptions {
    bool tls = false;
    // TLS 1.0 only (implies tls).
    bool tls10_only = false;
    // The scripted replies, a JSON array (see the receiver's --help); empty
    // for the normal reply to every request.
    std::string script_json;
    // The port to listen on; 0 takes a free one. A receiver started on the
    // port of one just stopped stands for a server that came back.
    int port = 0;
};

// One request as the receiver stored it (requests/NNNN/).
struct ReceivedRequest {
    int index = 0;
    std::string path;
    // CLOCK_MONOTONIC, comparable with std::chrono::steady_clock: the request
    // line read, and the reply sent or the connection dropped.
    int64_t start_ns = 0;
    int64_t end_ns = 0;
    std::string archive;                             // ok|corrupt|none
    std::map<std::string, std::string> fields;       // name -> exact bytes
    std::map<std::string, std::string> transcripts;  // entry name -> decoded XML
    std::vector<std::string> log_entries;            // names of the other entries
    std::vector<std::string> problems;
    std::string reply;  // what was answered, e.g. "xml REQ_SESSION_ID=... REQ_STATUS_CODE=199 ..."
    // Extras of the store.
    std::string body;          // the request body as received
    std::string payload;       // payload.zip, empty when none
    std::string payload_name;  // the UsageFile part's filename
};

// The requests in the order they began (start_ns), for checks that uploads
// followed one another.
std::vector<ReceivedRequest> ByStart(std::vector<ReceivedRequest> requests);

class LocalReceiver {
public:
    explicit LocalReceiver(const ReceiverOptions& options = ReceiverOptions());
    ~LocalReceiver();
    LocalReceiver(const LocalReceiver&) = delete;
    LocalReceiver& operator=(const LocalReceiver&) = delete;

    // http(s)://127.0.0.1:PORT/BRIMReceiver (the ReceivingHost value).
    std::string HostUrl() const;
    // HostUrl() + "/receiver.aspx".
    std::string UploadUrl() const;
    // The certificate to trust; empty without TLS.
    std::string CaFile() const;
    int Port() const;
    int Pid() const { return pid_; }
    const std::string& StoreDir() const { return store_; }

    // Requests whose body has been read (lines of arrivals.txt).
    int ArrivalCount() const;
    bool WaitForArrivals(int n) const;
    // Request index -> the moment (CLOCK_MONOTONIC ns) its body was in.
    std::map<int, int64_t> ArrivalTimes() const;
    // Completed requests (those with summary.txt), in index order.
    std::vector<ReceivedRequest> Requests() const;
    bool WaitForRequests(int n) const;
    // Requests stored so far (those with summary.txt).
    int StoredCount() const;
    // Creates StoreDir()/release, which ends every "hold", now and later.
    void Release() const;
    // SIGTERM and reap now; idempotent. The store stays until destruction.
    void Stop();
    // True while the child has not ended.
    bool Running() const;
    // After Stop: the receiver's exit code (0 after a clean stop), or 128 +
    // signal number; -1 before Stop or when unknown.
    int ExitStatus() const { return exit_status_; }
    // What the receiver printed so far.
    std::string Output() const;

private:
    std::unique_ptr<ScratchFolder> scratch_;
    std::string store_;
    std::string log_file_;
    std::string url_;
    std::string ca_file_;
    int port_ = 0;
    int pid_ = -1;
    int owner_pid_ = -1;
    int exit_status_ = -1;
};

}  // namespace tvut_test

#endif  // TVUT_TESTS_SUPPORT_LOCALRECEIVER_H
