// Client steps: reading the step description, temporary files, copies to the
// server and to the client, and error reports. The program step is in
// run_program.cpp.
#include "jobs/client/dispatcher.h"

#include <memory>
#include <utility>

#include "host/files.h"
#include "host/platform.h"
#include "host/qor_keys.h"
#include "host/tarn_context.h"
#include "host/tarn_exception.h"
#include "host/tarn_util.h"
#include "host/xml_functions.h"

namespace pelox {

namespace {

constexpr const char16_t* kClass = u"CClientComponentDispatcher";
constexpr const char16_t* kRunId = u"RunId";
constexpr const char16_t* kIfFileMissing = u"IfFileMissing";
constexpr const char16_t* kExpanded = u"Expanded";
constexpr const char16_t* kExistingFileDestination =
    u"Chosen destination is an existing file. Specifying multiple sources requires specifying multiple "
    u"destinations or a single destination directory.";

// A required key of the description is missing: the server speaks a newer
// form of the contract than this client.
[[noreturn]] void throwClientIncompatible(const char16_t* detail) {
    throw tarn::Exception(u"Client incompatible with server: %ls. Please upgrade your client to the latest version or "
                          u"contact Vantrel Support (your server administrator) for assistance.",
                          detail);
}

bool isTrimmedSpace(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\u00A0';
}

std::u16string trimmed(std::u16string_view text) {
    size_t begin = 0, end = text.size();
    while (begin < end && isTrimmedSpace(text[begin])) ++begin;
    while (end > begin && isTrimmedSpace(text[end - 1])) --end;
    return std::u16string(text.substr(begin, end - begin));
}

bool isSeparator(char16_t c) { return c == u'/' || c == u'\\'; }

bool hasWildcard(std::u16string_view text) { return text.find_first_of(u"*?") != std::u16string_view::npos; }

std::u16string canonical(std::u16string_view path) { return host::vcFileName(path).GetCanonicalName(); }

std::u16string fileNameOf(std::u16string_view path) { return host::vcFileName(path).GetName(); }

// The extension of a file name, from its last "." (empty when it has none).
std::u16string_view extensionOf(std::u16string_view name) {
    size_t dot = name.rfind(u'.');
    return dot == std::u16string_view::npos ? std::u16string_view() : name.substr(dot);
}

std::u16string joinPath(std::u16string_view directory, std::u16string_view name) {
    std::u16string out(directory);
    if (out.empty() || !isSeparator(out.back())) out += host::PATHSEP;
    out += name;
    return out;
}

// A user name or job ID used as one directory level below the temporary root
// must stay one level below it.
void requireSingleComponent(const std::u16string& part, const char* what) {
    if (part == u"." || part == u".." || part.find_first_of(u"/\\") != std::u16string::npos ||
        part.find(u'\0') != std::u16string::npos)
        throw tarn::Exception("The %s '%ls' cannot name a temporary directory", what, part);
}

}  // namespace

CClientComponentDispatcher::~CClientComponentDispatcher() = default;

host::Bytes CClientComponentDispatcher::FetchDescription(RunnerData& runner) {
    const std::u16string jobId = runner.GetJobId();
    host::Bytes bytes;
    try {
        runner.GetJobData(jobId, qor::QOR_TransferComponentFileName, bytes);
    } catch (...) {
        throw tarn::Exception(u"Client is unable to find Component Information run id: %ls", jobId);
    }
    return bytes;
}

std::unique_ptr<host::CPropertyCollection> CClientComponentDispatcher::ReadDescription(const host::Bytes& bytes) {
    std::unique_ptr<host::CPropertyCollection> description;
    tarn::annotate(kClass, u"ConvertXMLToPropertyList", [&] {
        try {
            host::CXMLReaderFunctions reader;
            reader.SetReferenceResolutionHandling(0, nullptr);
            std::unique_ptr<host::XmlObject> object;
            if (!reader.ReadXMLFromBuffer(bytes, object, false, true, nullptr) || !object)
                throw tarn::Exception("The job data item '%ls' could not be read", qor::QOR_TransferComponentFileName);
            auto* collection = dynamic_cast<host::CPropertyCollection*>(object.get());
            if (!collection)
                throw tarn::Exception("The job data item '%ls' is not a property collection",
                                      qor::QOR_TransferComponentFileName);
            object.release();
            description.reset(collection);
        } catch (tarn::Exception& e) {
            e.appendMessage(u"Unable to create component from XML definition: %ls", e.getErrorMessage(0));
            throw;
        }
    });
    return description;
}

bool CClientComponentDispatcher::RunClientComponent(RunnerData& runner, FileData& files, const std::u16string& userName,
                                                    const host::Bytes* fetched) {
    try {
        buffer_.clear();
        std::unique_ptr<host::CPropertyCollection> description =
            ReadDescription(fetched ? *fetched : FetchDescription(runner));
        CreateClientRunDirectory(*description);
        return DispatchComponent(runner, files, userName, description.get());
    } catch (tarn::Exception& e) {
        ReportFailure(runner, e.joined(u"\n"));
    } catch (...) {
        ReportFailure(runner, u"CClientComponentDispatcher::RunClientComponent Unknown Error detected");
    }
    return false;
}

void CClientComponentDispatcher::ReportFailure(RunnerData& runner, const std::u16string& message) noexcept {
    try {
        ReportErrors(runner, message);
    } catch (...) {
        try {
            tarn::Exception::warn(u"CClientComponentDispatcher::RunClientComponent Error");
        } catch (...) {
        }
    }
}

bool CClientComponentDispatcher::DispatchComponent(RunnerData& runner, FileData& files, const std::u16string& userName,
                                                   host::CPropertyCollection* description) {
    if (!description) throw tarn::Exception("Cannot dereference a NULL pointer");

    if (description->has(qor::QOR_ClientTempFiles)) {
        std::vector<std::u16string> names;
        description->getTexts(qor::QOR_ClientTempFiles, names);
        if (names.empty()) return true;
        const auto paths = GenerateTemporaryFilenames(static_cast<int>(names.size()), userName, runner.GetJobId());
        for (size_t i = 0; i < names.size(); ++i) description->setText(names[i], paths[i]);
        SendProperties(runner, qor::QOR_TransferComponentFileName, *description);
        return true;
    }
    if (description->has(qor::QOR_DownloadToClient)) {
        DownloadToClient(*description);
        return true;
    }
    if (description->has(qor::QOR_UploadToServer)) {
        UploadToServer(files, *description);
        return true;
    }
    if (description->has(qor::QOR_ClientRunProgram)) {
        if (RunProgram(*description)) SendProperties(runner, qor::QOR_TransferComponentFileName, *description);
        return true;
    }
    return false;
}

bool CDeferringComponentDispatcher::DispatchComponent(RunnerData& runner, FileData& files,
                                                      const std::u16string& userName,
                                                      host::CPropertyCollection* description) {
    if (description && description->has(qor::QOR_ClientInstructions)) {
        description->getText(qor::QOR_ClientInstructions, instructions_);
        return true;
    }
    return CClientComponentDispatcher::DispatchComponent(runner, files, userName, description);
}

void CClientComponentDispatcher::SendProperties(RunnerData& runner, std::u16string_view dataName,
                                                const host::CPropertyCollection& properties) {
    tarn::annotate(kClass, u"ConvertXMLToPropertyList", [&] {
        try {
            host::CXMLWriterFunctions writer;
            writer.WriteToBuffer(buffer_, properties, false, nullptr);
        } catch (tarn::Exception& e) {
            e.appendMessage(u"Unable to write XML from property collection: %ls", e.getErrorMessage(0));
            throw;
        }
    });
    if (!buffer_.empty()) runner.PutJobData(runner.GetJobId(), std::u16string(dataName), buffer_);
}

void CClientComponentDispatcher::ReportErrors(RunnerData& runner, const std::u16string& message) {
    auto report = host::CPropertyCollection::newInstance();
    report->setText(qor::QOR_ClientErrorStack, message);
    SendProperties(runner, qor::QOR_TransferErrorsFileName, *report);
}

void CClientComponentDispatcher::CreateClientRunDirectory(const host::CPropertyCollection& description) {
    tarn::annotate(kClass, u"CreateClientRunDirectory", [&] {
        std::u16string directory;
        if (!description.getText(qor::QOR_ClientRunDirectory, directory))
            throwClientIncompatible(u"Could not find ClientRunDirectory parameter");
        // A directory that cannot be made shows up as the failure of the step
        // that uses it.
        host::vcFile::MakeDirectory(directory);
    });
}

std::u16string CClientComponentDispatcher::TemporaryDirectory(const std::u16string& userName,
                                                              const std::u16string& jobId) {
    std::u16string root;
    host::CClientTempFiles::GetTemporaryFilePath(root);
    return joinPath(joinPath(root, userName), jobId);
}

std::vector<std::u16string> CClientComponentDispatcher::GenerateTemporaryFilenames(int count,
                                                                                   const std::u16string& userName,
                                                                                   const std::u16string& jobId) {
    return tarn::annotate(kClass, u"GenerateTemporaryFilenames", [&] {
        std::vector<std::u16string> names;
        if (count <= 0) return names;
        requireSingleComponent(userName, "user name");
        requireSingleComponent(jobId, "job ID");
        const std::u16string directory = TemporaryDirectory(userName, jobId);
        names.reserve(static_cast<size_t>(count));
        for (int i = 0; i < count; ++i) names.push_back(host::vcFile::GetTempFileNameW(directory, u"", u".tmp"));
        return names;
    });
}

CClientComponentDispatcher::ExpandedSources CClientComponentDispatcher::ExpandWildcards(
    const std::vector<std::u16string>& sources) {
    ExpandedSources out;
    for (const auto& source : sources) {
        const std::u16string path = canonical(source);
        if (!hasWildcard(path)) {
            out.paths.push_back(path);
            out.fromWildcard.push_back(false);
            continue;
        }
        out.anyWildcard = true;
        const host::vcFileName pattern(path);
        const std::u16string directory = pattern.GetPath();
        const std::u16string patternName = pattern.GetName();
        const std::u16string_view extension = extensionOf(patternName);
        // Only the exact extension counts: "*.txt" takes "b.TXT" but never
        // "c.txtx".
        const bool filterExtension = !extension.empty() && extension != u".*";
        // Names match the pattern without regard to case, as the servers'
        // descriptions expect from their Windows clients ("*.txt" takes
        // "b.TXT"), so the whole directory is listed and matched here.
        const std::u16string namePattern = tarn::util::toUpperAscii(patternName);
        host::vcDirectoryIterator listing(directory.empty() || isSeparator(directory.back()) ? directory
                                                                                             : directory + u"/");
        host::vcDirectoryItem item;
        while (listing.GetNextItem(item)) {
            if (item.IsDirectory) continue;
            if (!host::MatchesWildcard(namePattern, tarn::util::toUpperAscii(item.Name))) continue;
            if (filterExtension && !tarn::util::equalsIgnoreCaseAscii(extensionOf(item.Name), extension)) continue;
            out.paths.push_back(joinPath(directory, item.Name));
            out.fromWildcard.push_back(true);
        }
    }
    return out;
}

void CClientComponentDispatcher::UploadToServer(FileData& files, const host::CPropertyCollection& description) {
    tarn::annotate(kClass, u"UploadToServer", [&] {
        std::u16string runId;
        if (!description.getText(kRunId, runId)) throwClientIncompatible(u"Could not find RunId parameter");
        std::vector<std::u16string> sources;
        if (!description.getTexts(qor::QOR_Source, sources)) throwClientIncompatible(u"Could not find Source parameter");
        if (sources.empty()) throw tarn::Exception("No sources to copy");
        std::vector<std::u16string> destinations;
        if (!description.getTexts(qor::QOR_Destination, destinations))
            throwClientIncompatible(u"Could not find Destination parameter");
        std::u16string ifFileMissing;
        const bool missingIsError = !description.getText(kIfFileMissing, ifFileMissing) ||
                                    tarn::util::equalsIgnoreCaseAscii(ifFileMissing, u"Throw Error");

        for (auto& destination : destinations) {
            destination = trimmed(destination);
            if (!destination.empty() && isSeparator(destination.back())) destination.pop_back();
        }

        std::u16string runDirectory;
        if (!description.getText(qor::QOR_RunDirectory, runDirectory))
            throwClientIncompatible(u"Could not find RunDirectory parameter");
        const std::u16string run = canonical(runDirectory);
        // Paths into the run directory are built on its canonical form. A run
        // directory in a form this machine does not know as absolute (a
        // Windows server's "D:\jobs\..." seen from Linux, a Linux server's
        // "/srv/jobs/..." seen from Windows) is kept as the server gave it,
        // with its own separator, so that it is neither rebased onto this
        // process's current directory nor joined with this machine's
        // separator.
        std::u16string runBase = run;
        if (host::vcFileName(runDirectory).IsRelative()) {
            runBase = trimmed(runDirectory);
            while (runBase.size() > 1 && isSeparator(runBase.back())) runBase.pop_back();
            const bool slashes = runBase.find(u'/') != std::u16string::npos;
            const bool backslashes = runBase.find(u'\\') != std::u16string::npos;
            if (backslashes && !slashes) runBase += u'\\';
            if (slashes && !backslashes && !isSeparator(runBase.back())) runBase += u'/';
        }
        auto isRunDirectory = [&](const std::u16string& destination) {
            return tarn::util::equalsIgnoreCaseAscii(canonical(destination), run);
        };

        ExpandedSources expanded = ExpandWildcards(sources);
        const bool multi = sources.size() > 1;
        const bool single = destinations.size() == 1;
        const bool firstFromWildcard = expanded.paths.empty() ? expanded.anyWildcard : expanded.fromWildcard.front();
        if ((multi || firstFromWildcard) && single) {
            if (!isRunDirectory(destinations.front()))
                throw tarn::Exception(
                    u"Destination '%ls' for a list of sources may only be a list of filenames or the RunDirectory.",
                    destinations.front());
            destinations.assign(expanded.paths.size(), destinations.front());
        } else if (expanded.paths.size() != destinations.size()) {
            throw tarn::Exception(
                "Invalid source and destination specifications.  Sources and destinations must be equal or "
                "destination must be the RunDirectory");
        }
        // A pattern stands for the files it matches: one that matches
        // nothing adds no pair, so nothing is sent for it and nothing is
        // missing (protocols name optional outputs such as "*.log" so).

        for (size_t i = 0; i < destinations.size(); ++i)
            if (isRunDirectory(destinations[i])) destinations[i] = joinPath(runBase, fileNameOf(expanded.paths[i]));

        for (size_t i = 0; i < expanded.paths.size(); ++i) {
            const std::u16string& source = expanded.paths[i];
            if (!host::vcFile::CanOpen(source, host::kFileRead)) {
                if (missingIsError) throw tarn::Exception(u"Could not find source '%ls'", source);
                continue;
            }
            files.Upload(source, destinations[i], nullptr);
        }
    });
}

void CClientComponentDispatcher::ExpandDestinations(const std::vector<std::u16string>& sources,
                                                    std::vector<std::u16string>& destinations,
                                                    const std::vector<int32_t>& counts) {
    tarn::annotate(kClass, u"ExpandDestinations", [&] {
        // Checked before anything is created. A relative path would land
        // wherever the host program's current directory happens to be.
        for (const auto& destination : destinations) {
            if (hasWildcard(destination))
                throw tarn::Exception(u"Destination '%ls' cannot contain wildcards (* or ?)", destination);
            if (destination.empty() || host::vcFileName(destination).IsRelative())
                throw tarn::Exception(u"Client download path '%ls' must be absolute", destination);
        }

        std::vector<std::u16string> given = destinations;
        if (given.size() == 1) {
            const std::u16string only = given.front();
            given.assign(counts.size(), only);
            if (counts.size() > 1) {
                bool isDirectory = false;
                if (host::PathExists(canonical(only), &isDirectory) && !isDirectory)
                    throw tarn::Exception(kExistingFileDestination);
                if (!host::vcFile::MakeDirectory(canonical(only)))
                    throw tarn::Exception(u"Unable to create destination directory '%ls'", only);
            }
        }

        std::vector<std::u16string> result;
        size_t next = 0;  // the next source to place
        for (size_t i = 0; i < given.size(); ++i) {
            const std::u16string& destination = given[i];
            // A destination without an entry of its own takes one file, like -1.
            const int32_t count = i < counts.size() ? counts[i] : -1;
            const bool namesDirectory = isSeparator(destination.back());
            const std::u16string path = canonical(destination);

            bool isDirectory = false;
            const bool exists = host::PathExists(path, &isDirectory);
            bool asFile = false;
            if (!exists && count == -1 && !namesDirectory) {
                const std::u16string parent = host::vcFileName(path).GetPath();
                if (!parent.empty() && !host::vcFile::MakeDirectory(parent))
                    throw tarn::Exception(u"Unable to create destination directory '%ls'", parent);
                asFile = true;
            } else if (!exists) {
                if (!host::vcFile::MakeDirectory(path))
                    throw tarn::Exception(u"Unable to create destination directory '%ls'", path);
            } else if (!isDirectory) {
                if (count != -1) throw tarn::Exception(kExistingFileDestination);
                asFile = true;
            }

            if (asFile) {
                result.push_back(path);
                ++next;
                continue;
            }
            const int32_t take = count == -1 ? 1 : count;
            for (int32_t k = 0; k < take && next < sources.size(); ++k, ++next)
                result.push_back(joinPath(path, fileNameOf(sources[next])));
        }
        destinations = std::move(result);
    });
}

void CClientComponentDispatcher::DownloadToClient(const host::CPropertyCollection& description) {
    tarn::annotate(kClass, u"DownloadToClient", [&] {
        std::vector<std::u16string> sources;
        if (!description.getTexts(qor::QOR_Source, sources))
            throwClientIncompatible(u"Could not find QOR_Source parameter");
        if (sources.empty()) throw tarn::Exception("No Sources defined");
        std::vector<std::u16string> destinations;
        if (!description.getTexts(qor::QOR_Destination, destinations))
            throwClientIncompatible(u"Could not find QOR_Destination parameter");
        std::vector<int32_t> counts;
        if (!description.getIntegers(kExpanded, counts)) throwClientIncompatible(u"Could not find QOR_Expanded parameter");

        ExpandDestinations(sources, destinations, counts);
        if (destinations.size() != sources.size())
            throw tarn::Exception(
                "Number of sources must equal number of destinations or else destination must specify a directory on "
                "the client");

        for (size_t i = 0; i < sources.size(); ++i) {
            const std::u16string& source = sources[i];
            const std::u16string& destination = destinations[i];
            const int kind = host::vcFileName(source).GetKind();
            if (kind != 2 && kind != 4 && !host::vcFile::CanOpen(source, host::kFileReadShared))
                throw tarn::Exception(u"Unable to open source file '%ls'", source);
            if (host::vcFileName(destination).IsRelative())
                throw tarn::Exception(u"Client download path '%ls' must be absolute", destination);
            if (!host::vcFile::CopyFileW(source, destination))
                throw tarn::Exception(u"Unable to copy file '%ls' to destination '%ls'", source, destination);
        }
    });
}

}  // namespace pelox
