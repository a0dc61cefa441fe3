// The job data channel: named data items of a running job, read and written
// at the job's endpoint (the client-step description, the error report).
// Every exception leaving an operation carries "RunnerData::<operation>".
#pragma once

#include <string>

#include "host/compress.h"

namespace pelox {

class RunnerDataBase {
public:
    virtual ~RunnerDataBase() = default;
};

class RunnerData : public RunnerDataBase {
public:
    RunnerData(std::u16string jobId, std::u16string sessionId, std::string jobEndpoint);

    virtual const std::u16string& GetJobId() const;
    virtual bool Check() const { return true; }
    // The data item dataName of the job into out (replaced). Throws
    // "soap call to GetJobData() failed" when the call fails.
    virtual void GetJobData(const std::u16string& jobId, const std::u16string& dataName, host::Bytes& out);
    // Stores bytes as the job's data item dataName. Throws
    // "soap call to PutJobData() failed" when the call fails.
    virtual void PutJobData(const std::u16string& jobId, const std::u16string& dataName, const host::Bytes& bytes);

    std::u16string jobId;
    std::u16string sessionId;
    std::string jobEndpoint;  // the service address kept in the job record (UTF-8)
};

}  // namespace pelox
