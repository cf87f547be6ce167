// CMLSerializer: turns the current session into its transcript file.
//
// Each write completes the current CUTTranscript with a fresh header and the
// session's usage data, prints it, scrambles it and puts it in place of the
// session's file "<session id>.utt" in the product's Transcripts folder;
// then a new document (with a new document id) waits for the next write. A
// session therefore has one file, which always shows its latest state.
//
// One instance per process: the transcript manager's constructor creates it
// through GetInstance and its destructor destroys it through DestroyInstance;
// the destructor writes the transcript one last time (CleanUp stamps the end
// time first; a library unload without CleanUp writes without that stamp).
//
// The file is replaced atomically. The scrambled bytes go to a temporary
// file beside it, "<session id>.tmp<12 hex digits>" (never containing ".utt",
// which is what the send cycle gathers), created 0600, synced, then renamed
// over the transcript. A process that dies at any moment leaves the previous
// transcript or the new one, and the plain document never reaches the disk.
// Temporary files are written under the Transcripts folder's named lock;
// holding it, a writer knows that every temporary file it finds there was
// left by a writer that died, and removes it before writing its own. The
// send cycle does the same in every product's folder (RemoveLeftTemporaryFiles),
// so a product that is never run again does not keep them.
//
// Threads: Serialize and the destructor run on host threads (LogUsageData,
// OnCrash, CleanUp, unload). A mutex makes each write whole -- from reading
// the session to the rename -- so hosts that write from two threads at once
// get one whole file, the later write's. The Transcripts folder's named lock
// is the innermost lock: nothing else is taken while it is held.
//
// Failures: Serialize returns false when no file was written -- product
// information not handed over (logged at level 1), the user's tracking off
// (nothing of the session may be kept), Transcripts folder
// missing and not creatable, a file write that fails (logged at level 5
// with the path and what failed) -- and leaves an earlier transcript of the
// session as it was. Only memory exhaustion throws; the destructor never
// throws.
#ifndef TVUT_TRANSCRIPT_MLSERIALIZER_H
#define TVUT_TRANSCRIPT_MLSERIALIZER_H

#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CUTTranscript;
template <class T>
class CUTInstanceSlot;

class CMLSerializer {
public:
    // The instance, created on first use; null only when creation failed.
    static CMLSerializer* GetInstance();
    // The instance if one exists; never creates one.
    static CMLSerializer* PeekInstance();
    // Destroys the instance (writing the transcript) and clears the accessor.
    static void DestroyInstance();

    ~CMLSerializer();
    CMLSerializer(const CMLSerializer&) = delete;
    CMLSerializer& operator=(const CMLSerializer&) = delete;

    // Writes the session's transcript; true when the file was replaced.
    bool Serialize();

    // folder + "/" + session id + ".utt"
    static std::wstring TranscriptPath(const std::wstring& folder, const std::wstring& session_id);
    // Is name (without its folder) the name of a temporary transcript file?
    static bool IsTemporaryFileName(const std::wstring& name);
    // Removes, under folder's named lock, the temporary transcript files that
    // writers which died left in folder (a Transcripts folder, spelt as
    // writers spell it). Returns the paths removed; nothing when the lock
    // cannot be taken.
    static std::vector<std::wstring> RemoveLeftTemporaryFiles(const std::wstring& folder);

private:
    friend class CUTInstanceSlot<CMLSerializer>;
    CMLSerializer() = default;
    // The write procedure; renew starts a new document afterwards.
    bool Write(bool renew);

    std::mutex mutex_;
    std::shared_ptr<CUTTranscript> document_;
};

#endif  // TVUT_TRANSCRIPT_MLSERIALIZER_H
