// Service definition of the Qorvane workflow server's SOAP interface, as far
// as the library exchanges it: SOAP 1.1, rpc style, SOAP section 5 encoding.
// soapcpp2 reads this file at build time and generates the serializers and
// both the client stubs (library) and the server skeleton (emulator). The
// generated sources are never committed.
//
// Strings are char* holding UTF-8 (SOAP_C_UTFSTRING). Every member is a
// pointer where the wire allows it to be absent, so that a null member is
// left out of a request and an absent member reads as null.

//gsoap qor service name: Qorvane
//gsoap qor service style: rpc
//gsoap qor service encoding: encoded
//gsoap qor service namespace: urn:qorvane:workflow-server
//gsoap qor schema namespace: urn:qorvane:workflow-server
//gsoap qor schema form: unqualified


// ---------------------------------------------------------------- arrays
// SOAP-encoded arrays: written with xsi:type="SOAP-ENC:Array", an arrayType
// of the item type and count, and one <item> child per entry.

class ArrayOfString {
public:
    char** __ptr;
    int __size;
    struct soap* soap;
};

class ArrayOfInt {
public:
    int* __ptr;
    int __size;
    struct soap* soap;
};

class xsd__base64Binary {
public:
    unsigned char* __ptr;
    int __size;
    struct soap* soap;
};

// ---------------------------------------------------------------- enums

enum qor__VersionComparison {
    ServerClientNotChecked = 0,
    ServerClientSame = 1,
    ServerIsNewerThanClient = 2,
    ClientIsNewerThanServer = 3
};

enum qor__VersionCompatibility {
    CompatibilityUnknown = 0,
    CompatibilityTrue = 1,
    CompatibilityFalse = 2
};

// ---------------------------------------------------------------- records
// Copy-assignment of a record raises tarn::Exception naming the operator
// (defined in wire/records.cpp): a record belongs to the call context that
// decoded it, and library code reads it in place, never copies it.
//
// The generated deserializers do move records, though: arrays whose length
// the reply does not announce are collected in blocks and then moved into
// one array, and multi-referenced records are copied to their referrers. The
// gSOAP runtime would do that by assignment, which the records refuse; the
// rewrite rule 5 of wire/generate.sh points those moves at
// wire/record_relocation.h instead, which destroys the target and
// copy-constructs it from the source (the implicit copy constructor: members
// are pointers into the same context, so a member-wise copy is the whole
// move). What this relies on: soapC.cpp's two move sites (soap_block::save
// and the "*p = *q" copy of a forward reference) keep their shape, which the
// rewrite rule checks by counting its matches, failing the build otherwise.

class qor__NameValuePair {
public:
    char* name;
    ArrayOfString* values;
    struct soap* soap;
    qor__NameValuePair& operator=(const qor__NameValuePair& nameValuePair);
};

class ArrayOfNameValuePair {
public:
    qor__NameValuePair* __ptr;
    int __size;
    struct soap* soap;
};

class qor__Job {
public:
    char* jobID;
    char* jobHostEndPoint;
    struct soap* soap;
    qor__Job& operator=(const qor__Job& job);
};

class ArrayOfJob {
public:
    qor__Job* __ptr;
    int __size;
    struct soap* soap;
};

class qor__ServerInfo {
public:
    int serverApiVersion;
    char* serverVersion;
    enum qor__VersionComparison versionComparisonEnum;
    enum qor__VersionCompatibility clientCompatibleEnum;
    bool clientInstallDownloadsPermitted;
    struct soap* soap;
    qor__ServerInfo& operator=(const qor__ServerInfo& serverInfo);
};

class qor__FileData {
public:
    char* name;
    bool isFolder;
    char* size;
    char* lastModified;
    struct soap* soap;
    qor__FileData& operator=(const qor__FileData& fileData);
};

class ArrayOfFileData {
public:
    qor__FileData* __ptr;
    int __size;
    struct soap* soap;
};

class qor__BlockingJobData {
public:
    char* jobID;
    int status;
    int responseFlags;
    ArrayOfNameValuePair* runResults;
    struct soap* soap;
    qor__BlockingJobData& operator=(const qor__BlockingJobData& blockingJobData);
};

class qor__JobData {
public:
    int time;
    ArrayOfInt* numOutsTrue;
    ArrayOfInt* numOutsFalse;
    ArrayOfInt* componentStatusFlags;
    ArrayOfString* componentIDs;
    int statusState;
    struct soap* soap;
    qor__JobData& operator=(const qor__JobData& jobData);
};

class qor__JobErrors {
public:
    ArrayOfString* errors;
    ArrayOfString* componentIDs;
    struct soap* soap;
    qor__JobErrors& operator=(const qor__JobErrors& jobErrors);
};

class qor__ComponentVersion {
public:
    int componentVersion;
    char* fullName;
    xsd__base64Binary* componentXML;
    struct soap* soap;
    qor__ComponentVersion& operator=(const qor__ComponentVersion& componentVersion);
};

class qor__ParameterInfo {
public:
    char* name;
    char* help;
    char* type;
    char* class_;
    bool required;
    bool multipleSelect;
    ArrayOfString* values;
    ArrayOfString* legalValues;
    struct soap* soap;
    qor__ParameterInfo& operator=(const qor__ParameterInfo& parameterInfo);
};

class ParameterInfoArray {
public:
    qor__ParameterInfo* __ptr;
    int __size;
    struct soap* soap;
};

class qor__ParameterInfo2 {
public:
    char* name;
    char* help;
    char* type;
    char* class_;
    bool required;
    bool multipleSelect;
    bool implementation;
    ArrayOfString* members;
    ArrayOfString* values;
    ArrayOfString* legalValues;
    struct soap* soap;
    qor__ParameterInfo2& operator=(const qor__ParameterInfo2& parameterInfo);
    // Create values / legalValues with n empty entries; they only create.
    void ResizeValues(int n);
    void ResizeLegalValues(int n);
};

class ParameterInfoArray2 {
public:
    qor__ParameterInfo2* __ptr;
    int __size;
    struct soap* soap;
};

class qor__ComponentInfo {
public:
    char* fullName;
    char* description;
    char* usage;
    char* comment;
    ParameterInfoArray* parameters;
    struct soap* soap;
    qor__ComponentInfo& operator=(const qor__ComponentInfo& componentInfo);
};

class qor__ComponentInfo2 {
public:
    char* fullName;
    char* description;
    char* usage;
    char* comment;
    ParameterInfoArray2* parameters;
    struct soap* soap;
    qor__ComponentInfo2& operator=(const qor__ComponentInfo2& componentInfo);
};

class qor__ValidateParametersInfo {
public:
    char* name;
    bool isValid;
    char* invalidDetails;
    bool isEnabled;
    char* disabledDetails;
    ArrayOfString* legalValues;
    bool legalValuesAreEnforced;
    struct soap* soap;
    qor__ValidateParametersInfo& operator=(const qor__ValidateParametersInfo& validateParametersInfo);
};

// ---------------------------------------------------------------- responses
// Response elements that carry the members of a record directly derive from
// it; the others list their members.

class qor__EmptyResponse {
public:
    struct soap* soap;
};

class qor__LoginResponse { public: char* sessionID; struct soap* soap; };
class qor__GetEndpointResponse { public: char* url; struct soap* soap; };
class qor__GetConfigurationSettingsResponse { public: ArrayOfNameValuePair* settings; struct soap* soap; };
class qor__GetAllJobsResponse { public: ArrayOfJob* jobsArray; struct soap* soap; };
class qor__CheckSkerrowClientVersionResponse : public qor__ServerInfo { };
class qor__ListMethodsResponse { public: char* methods; struct soap* soap; };
class qor__GetFolderContentsResponse { public: ArrayOfFileData* folderContents; struct soap* soap; };
class qor__DoesFileExistResponse { public: bool result; struct soap* soap; };
class qor__DownloadFileResponse { public: xsd__base64Binary* data; struct soap* soap; };
class qor__DownloadFileZippedResponse { public: xsd__base64Binary* zippedData; struct soap* soap; };
class qor__LaunchBlockingJobResponse : public qor__BlockingJobData { };
class qor__CreateJobResponse { public: char* jobID; struct soap* soap; };
class qor__ClearJobResponse { public: int success; struct soap* soap; };
class qor__LaunchJobResponse { public: char* jobID; struct soap* soap; };
class qor__GetJobStatusResponse { public: int status; struct soap* soap; };
class qor__GetJobStatisticsResponse : public qor__JobData { };
class qor__GetJobErrorsResponse : public qor__JobErrors { };
class qor__GetJobResultsResponse { public: ArrayOfNameValuePair* runResults; struct soap* soap; };
class qor__GetJobResults2Response { public: ArrayOfNameValuePair* runResults; struct soap* soap; };
class qor__GetJobDataResponse { public: xsd__base64Binary* messageXML; struct soap* soap; };
class qor__GetComponentVersionResponse : public qor__ComponentVersion { };
class qor__GetComponentVersionsResponse { public: ArrayOfInt* versions; struct soap* soap; };
class qor__RegisterComponentZippedResponse { public: char* newComponentGUID; struct soap* soap; };
class qor__GetComponentNamesResponse { public: ArrayOfString* componentNames; struct soap* soap; };
class qor__GetProtocolNamesResponse { public: ArrayOfString* protocolNames; struct soap* soap; };
class qor__GetFolderNamesResponse { public: ArrayOfString* folderNames; struct soap* soap; };
class qor__GetCalculablePropertiesResponse { public: ArrayOfString* calcProperties; struct soap* soap; };
class qor__GetCalculablePropertiesByCategoryResponse { public: ArrayOfNameValuePair* calculabesByCategory; struct soap* soap; };
class qor__GetComponentInfoResponse : public qor__ComponentInfo { };
class qor__FindParameterInfoResponse2 : public qor__ParameterInfo2 { };
class qor__GetComponentInfoResponse2 : public qor__ComponentInfo2 { };
// The answer of ValidateParameters: one <item> per parameter verdict, then
// the opaque validation state.
class qor__ValidateParametersResponse {
public:
    int __sizeitem;
    qor__ValidateParametersInfo* item;
    xsd__base64Binary* validationState;
    struct soap* soap;
};
class qor__GetHWAddressResponse { public: char* hwAddress; struct soap* soap; };

// ---------------------------------------------------------------- operations
// Request members in wire order; the last parameter is the response.

// locator
int qor__Login(char* name, char* password, char* clientType, char* clientVersion, char* clientMachine, qor__LoginResponse& response);
int qor__GetEndpoint(char* name, qor__GetEndpointResponse& response);
int qor__GetConfigurationSettings(qor__GetConfigurationSettingsResponse& response);
int qor__GetAllJobs(char* sessionID, char* clientType, int flags, qor__GetAllJobsResponse& response);
int qor__CheckSkerrowClientVersion(char* clientVersion, qor__CheckSkerrowClientVersionResponse& response);
int qor__CheckClientTypeCompatibility(char* clientType, char* clientVersion, int flags1, qor__CheckSkerrowClientVersionResponse& response);
int qor__ListMethods(char* sessionID, qor__ListMethodsResponse& response);

// file
int qor__GetFolderContents(char* sessionID, char* folderPath, qor__GetFolderContentsResponse& response);
int qor__DoesFileExist(char* sessionID, char* folderPath, qor__DoesFileExistResponse& response);
int qor__UploadFile(char* sessionID, char* destinationPath, xsd__base64Binary* data, bool append, qor__EmptyResponse& response);
int qor__UploadFileZipped(char* sessionID, char* destinationPath, xsd__base64Binary* zippedData, bool append, qor__EmptyResponse& response);
int qor__DownloadFile(char* sessionID, char* sourcePath, qor__DownloadFileResponse& response);
int qor__DownloadFileZipped(char* sessionID, char* sourcePath, qor__DownloadFileZippedResponse& response);
int qor__GetHWAddress(char* sessionID, qor__GetHWAddressResponse& response);

// runner and the job's endpoint
int qor__LaunchBlockingJob(char* sessionID, char* protocolName, ArrayOfNameValuePair* parameters, int msTimeout, int flags, qor__LaunchBlockingJobResponse& response);
int qor__CreateJob(char* sessionID, qor__CreateJobResponse& response);
int qor__ClearJob(char* sessionID, char* jobID, xsd__base64Binary* zippedSettings, qor__ClearJobResponse& response);
int qor__LaunchJob(char* sessionID, char* jobIDHint, char* protocolName, ArrayOfNameValuePair* parameters, qor__LaunchJobResponse& response);
int qor__SetJobStatus(char* sessionID, char* jobID, int status, qor__EmptyResponse& response);
int qor__StopJob(char* sessionID, char* jobID, qor__EmptyResponse& response);
int qor__GetJobStatus(char* sessionID, char* jobID, qor__GetJobStatusResponse& response);
int qor__GetJobStatistics(char* sessionID, char* jobID, char* hint, qor__GetJobStatisticsResponse& response);
int qor__GetJobErrors(char* sessionID, char* jobID, qor__GetJobErrorsResponse& response);
int qor__GetJobResults(char* sessionID, char* jobID, qor__GetJobResultsResponse& response);
int qor__GetJobResults2(char* sessionID, char* jobID, int flags, qor__GetJobResults2Response& response);
int qor__ReleaseJob(char* sessionID, char* jobID, qor__EmptyResponse& response);
int qor__GetJobData(char* sessionID, char* jobID, char* messageFormat, qor__GetJobDataResponse& response);
int qor__PutJobData(char* sessionID, char* jobID, char* messageFormat, xsd__base64Binary* messageXML, qor__EmptyResponse& response);

// XMLDB
int qor__MoveComponent(char* sessionID, char* oldComponentLocation, char* newComponentLocation, qor__EmptyResponse& response);
int qor__GetComponentVersionZipped(char* sessionID, char* componentName, int componentVersion, qor__GetComponentVersionResponse& response);
int qor__GetComponentVersions(char* sessionID, char* componentName, qor__GetComponentVersionsResponse& response);
int qor__RegisterComponentZipped(char* sessionID, char* folder, xsd__base64Binary* componentXML, qor__RegisterComponentZippedResponse& response);
int qor__UnRegisterComponent(char* sessionID, char* fullComponentPath, qor__EmptyResponse& response);
int qor__GetComponentNames(char* sessionID, char* folder, qor__GetComponentNamesResponse& response);
int qor__GetProtocolNames(char* sessionID, char* folder, int flags, qor__GetProtocolNamesResponse& response);
int qor__GetFolderNames(char* sessionID, char* folder, qor__GetFolderNamesResponse& response);
int qor__GetCalculableProperties(char* sessionID, qor__GetCalculablePropertiesResponse& response);
int qor__GetCalculablePropertiesByCategory(char* sessionID, qor__GetCalculablePropertiesByCategoryResponse& response);
int qor__GetComponentInfo(char* sessionID, char* componentName, qor__GetComponentInfoResponse& response);
int qor__FindParameterInfo2(char* sessionID, char* componentName, char* parameterName, int flags, qor__FindParameterInfoResponse2& response);
int qor__GetComponentInfo2(char* sessionID, char* componentName, int flags, qor__GetComponentInfoResponse2& response);
int qor__ValidateParameters(char* sessionID, char* componentName, xsd__base64Binary* validationState, ArrayOfNameValuePair* parameterValues, qor__ValidateParametersResponse& response);
