// The client steps of a job that waits for the client: the job's data item
// TransferComponentFileName describes one step (temporary file names, copies
// to the client, copies to the server, or a local program). The dispatcher
// reads that description, carries the step out, writes a changed description
// back and reports errors as the job data item TransferErrorsFileName.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/compress.h"
#include "host/property_collection.h"
#include "transfer/file_data.h"
#include "transfer/runner_data.h"

namespace pelox {

class CClientComponentDispatcher {
public:
    CClientComponentDispatcher() = default;
    virtual ~CClientComponentDispatcher();

    // Fetches the step description of the job, carries the step out and reports errors to the server as job data.
    // Never throws; false after an error or when no step key was present. description: the description's bytes
    // when the caller has already fetched them (nothing is fetched then).
    bool RunClientComponent(RunnerData& runner, FileData& files, const std::u16string& userName,
                            const host::Bytes* description = nullptr);
    // Carries out the step the description selects (the first of ClientTempFiles, DownloadToClient,
    // UploadToServer, ClientRunProgram present). False when none is present. Throws tarn::Exception.
    virtual bool DispatchComponent(RunnerData& runner, FileData& files, const std::u16string& userName,
                                   host::CPropertyCollection* description);

    // Writes the collection as XML into the buffer and, when that is not empty, stores it as the job's data item
    // dataName.
    void SendProperties(RunnerData& runner, std::u16string_view dataName, const host::CPropertyCollection& properties);
    // Sends a collection holding only ClientErrorStack = message as the data item TransferErrorsFileName.
    void ReportErrors(RunnerData& runner, const std::u16string& message);
    // ReportErrors for a step that failed; a report that cannot be sent is only logged as a warning.
    void ReportFailure(RunnerData& runner, const std::u16string& message) noexcept;

    // The folder of a job's temporary files: "<temporary root>/<user>/<job>".
    static std::u16string TemporaryDirectory(const std::u16string& userName, const std::u16string& jobId);
    // count fresh empty files "<temporary root>/<user>/<job>/<unique>.tmp" (a negative count counts as 0).
    static std::vector<std::u16string> GenerateTemporaryFilenames(int count, const std::u16string& userName,
                                                                 const std::u16string& jobId);
    // Copies client files to the server (Source, Destination, RunDirectory, RunId, IfFileMissing).
    static void UploadToServer(FileData& files, const host::CPropertyCollection& description);
    // Copies files to the client by the file system (Source, Destination, Expanded).
    static void DownloadToClient(const host::CPropertyCollection& description);
    // Creates the directory named by ClientRunDirectory (required; failure to create is not an error here).
    static void CreateClientRunDirectory(const host::CPropertyCollection& description);

    struct ExpandedSources {
        std::vector<std::u16string> paths;   // canonical sources, wildcard patterns replaced by their matches
        std::vector<bool> fromWildcard;      // per entry of paths
        bool anyWildcard = false;
    };
    // Canonicalises the sources and replaces each pattern holding '*' or '?' by the files it matches (not
    // sub-directories; a pattern with an extension other than ".*" keeps only entries with exactly that
    // extension, compared without regard to case), in name order.
    static ExpandedSources ExpandWildcards(const std::vector<std::u16string>& sources);
    // Turns the destinations of a copy to the client into one file path per source (see DownloadToClient);
    // creates destination directories on the way. destinations is replaced.
    static void ExpandDestinations(const std::vector<std::u16string>& sources, std::vector<std::u16string>& destinations,
                                   const std::vector<int32_t>& counts);

    // The program step (run_program.cpp). True when the description is to be written back.
    static bool RunProgram(host::CPropertyCollection& description);
    // Replaces a registered program name at the start of the command line by its executable.
    static void InitializeCommandLine(std::u16string& commandLine);
    // Splits off the first element (a double-quoted text or up to the first space) from the rest.
    static void IsolateFirstElement(std::u16string_view text, std::u16string& first, std::u16string& remainder);
    // The executable registered for a ProgID (LocalServer32 of its class, else its shell\open\command);
    // empty when neither is registered.
    static void DoRegistryLookup(std::u16string_view name, std::u16string& path);

    // The job's pending step as shown to a host before it is carried out.
    struct StepPreview {
        std::u16string text;       // for people: what kind of step, the program, files and folders involved
        host::Bytes description;   // the description's bytes, kept only when they could be read
        bool readable = false;     // the description was fetched and read
        std::u16string failure;    // why it could not be (empty when readable)
    };
    // Reads the job's pending step for a host to see before the step is carried out: what kind of step it is,
    // the program and arguments it would run, the files and folders it would read or write. Only reads the
    // description; nothing is created, copied or run. Never throws: a description that cannot be fetched or read
    // is shown as such. deferToHost: instructions for the host count as a step (as the deferring dispatcher
    // takes them).
    static StepPreview PreviewClientComponent(RunnerData& runner, const std::u16string& userName, bool deferToHost);
    static std::u16string DescribeStep(const host::CPropertyCollection& description, const std::u16string& userName,
                                       const std::u16string& jobId, bool deferToHost);

    // The XML last written by SendProperties.
    const host::Bytes& Buffer() const { return buffer_; }

protected:
    // Fetches the job data item TransferComponentFileName.
    static host::Bytes FetchDescription(RunnerData& runner);
    // Reads a description's bytes as a property collection.
    static std::unique_ptr<host::CPropertyCollection> ReadDescription(const host::Bytes& bytes);

    host::Bytes buffer_;
};

// Hands instruction text (ClientInstructions) to the host program instead of carrying it out; any other step
// runs as in the base class.
class CDeferringComponentDispatcher : public CClientComponentDispatcher {
public:
    const std::u16string& Instructions() const { return instructions_; }  // empty when none was captured
    bool DispatchComponent(RunnerData& runner, FileData& files, const std::u16string& userName,
                           host::CPropertyCollection* description) override;

private:
    std::u16string instructions_;
};

}  // namespace pelox
