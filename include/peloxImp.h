/*
 * peloxImp.h - the client access library for the Qorvane workflow server.
 *
 * This header is the whole contract of the library: anything not declared
 * here is not part of the API. Status codes and selector numbers are never
 * renumbered or reused.
 *
 * Conventions that hold for every function below:
 *  - Text crosses the boundary as zero-terminated UTF-16 (pelox_char), on
 *    every platform. Malformed UTF-16 (a lone surrogate) becomes U+FFFD.
 *  - Results are written into library-owned objects that the caller created
 *    with peloxImp_createObject and refers to by handle. Output objects are
 *    emptied at the start of every call, so a failing call leaves them empty
 *    or partly filled, never holding stale data.
 *  - Functions that return int32_t return a status code: 0 on success, a
 *    positive error record identifier (read the messages once with
 *    pelox_getPeloxErrors), or one of the negative PELOX_E_ codes.
 *  - No function lets an exception or crash escape. Every function may be
 *    called from any thread; see docs/api.md for locking and lifetimes.
 */
#ifndef PELOXIMP_H
#define PELOXIMP_H

#include <stdint.h>

#if defined(_WIN32)
#  if defined(PELOX_BUILDING_LIBRARY)
#    define PELOX_API __declspec(dllexport)
#  else
#    define PELOX_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__)
#  define PELOX_API __attribute__((visibility("default")))
#else
#  define PELOX_API
#endif

#ifdef __cplusplus
/* In C++ the UTF-16 code unit is char16_t, so u"literals" can be passed. */
typedef char16_t pelox_char;
#define PELOX_BEGIN_DECL extern "C" {
#define PELOX_END_DECL }
#else
/* In C it is the 16-bit unsigned type with the same size and representation. */
typedef uint_least16_t pelox_char;
#define PELOX_BEGIN_DECL
#define PELOX_END_DECL
#endif

/* A one-byte boolean: 1 true, 0 false. */
typedef unsigned char pelox_bool;

PELOX_BEGIN_DECL

/* ------------------------------------------------------------------------
 * Status codes
 * ------------------------------------------------------------------------ */
enum pelox_status {
    PELOX_OK = 0,                          /* Success. */
    PELOX_E_NO_STRING = -999,              /* A string handle (type 1) is not registered. */
    PELOX_E_NO_STRING_ARRAY = -998,        /* A string-array handle (type 2) is not registered. */
    PELOX_E_INDEX = -997,                  /* An element index is not below the element count. */
    PELOX_E_NO_PROTOCOL_INFO = -996,       /* A protocol-info handle (type 3) is not registered. */
    PELOX_E_NO_PARAMETER = -995,           /* No parameter with that index or name. */
    PELOX_E_NO_PROPERTY = -994,            /* The property number is not a known parameter property. */
    PELOX_E_NO_RESULT_INFO = -993,         /* A result-info handle (type 4) is not registered. */
    PELOX_E_NO_RESULT_NAME = -992,         /* No result-info entry has the given name. */
    PELOX_E_NULL_ARGUMENT = -991,          /* A required pointer or string argument is null (or empty where stated). */
    PELOX_E_NO_ERROR_RECORD = -990,        /* No error record with that identifier is held. */
    PELOX_E_NO_SESSION = -989,             /* The session identifier is not known (log in first). */
    PELOX_E_NO_JOB = -988,                 /* The job identifier is not known, or empty where a job is required. */
    PELOX_E_NOT_WAITING_FOR_CLIENT = -987, /* The job is not waiting for the client (state 1502). */
    PELOX_E_LAUNCH = -986,                 /* The server did not clear the job before a relaunch. */
    PELOX_E_JOB_STATE = -985,              /* The job's state does not allow reading its errors. */
    PELOX_E_UNEXPECTED = -984,             /* An unexpected internal failure. */
    PELOX_E_COMPONENT_FILE = -983,         /* A component file could not be read, or no component data came back. */
    PELOX_E_UNKNOWN_OPTION = -982,         /* Option number outside 100 to 107. */
    PELOX_E_UNKNOWN_TYPE = -981,           /* Object type outside 1 to 4; also: incomplete parameter list at launch. */
    PELOX_E_RELATIVE_PATH = -980,          /* A local file path is relative; it must be absolute. */
    PELOX_E_LOOKUP_MODE = -978,            /* The mode flags ask for neither lookup by index nor by name. */
    PELOX_E_SERVER_VERSION = -977,         /* The server is too old or does not accept this client. */
    PELOX_E_UNSUPPORTED = -976,            /* Version not served, or attribute selector outside 1 to 4. */
    PELOX_E_UNKNOWN_INFO = -975,           /* Information selector other than 103, 104 and 200. */
    PELOX_E_CONNECTION = -974,             /* The server could not be reached after all retries. */
    PELOX_E_SERVICE_CALL = -973,           /* A service call failed for another transport reason. */
    PELOX_E_REGISTRANT = -971,             /* The component's registrant contains "/". */
    PELOX_E_RESERVED_NAME = -970,          /* The parameter name is one that the launch adds itself. */
    PELOX_E_VALIDATION_OFF = -969          /* Validation is switched off while a validated value is asked for. */
};

/* Validation notices (only while option PELOX_OPTION_VALIDATION_NOTICES is on). */
#define PELOX_NOTICE_PARAMETER_ADDED (-2000) /* protocolInfo_setOrAddParameter added a new parameter. */
#define PELOX_NOTICE_VALIDATED (-3000)       /* The server validated the parameters. */

/* ------------------------------------------------------------------------
 * Object types, job states, options, selectors
 * ------------------------------------------------------------------------ */
enum pelox_object_type {
    PELOX_OBJECT_STRING = 1,        /* One text. Size: its length in UTF-16 units. */
    PELOX_OBJECT_STRING_ARRAY = 2,  /* A list of texts. Size: the element count. */
    PELOX_OBJECT_PROTOCOL_INFO = 3, /* A protocol's parameter model. Size: the parameter count. */
    PELOX_OBJECT_RESULT_INFO = 4    /* Names, each with a list of values. Size: the name count. */
};

/* Job states, as pelox_getJobStatus reports them (the server's own states in
 * parentheses):
 *   0     created with pelox_createJob, never launched
 *   1500  finished (0: without errors; 1: errors were reported on the way,
 *         read them with pelox_getJobErrors); also the state right after a
 *         launch, before the first poll
 *   1501  running (2, 10, 11; 12 for jobs without PELOX_JOB_REPORT_1508)
 *   1502  waiting for the client to carry out a client step (3)
 *   1503  queued: launched, not started yet (4)
 *   1504  failed (5)
 *   1505  stopped (6)
 *   1506  ended while or after waiting for the client: not resumed in time,
 *         a client step failed, or stopped while waiting (7, 8, 9)
 *   1507  not known yet (no poll so far), or a server state above 12
 *   1508  server state 12, for jobs with PELOX_JOB_REPORT_1508
 * 1500, 1504, 1505 and 1506 are final: the job changes no more by itself.
 * PELOX_JOB_STATE_4, _5 and _6 are the older names of 1503, 1504, 1505. */
enum pelox_job_state {
    PELOX_JOB_CREATED = 0,
    PELOX_JOB_FINISHED = 1500,
    PELOX_JOB_RUNNING = 1501,
    PELOX_JOB_WAITING_FOR_CLIENT = 1502,
    PELOX_JOB_QUEUED = 1503,
    PELOX_JOB_FAILED = 1504,
    PELOX_JOB_STOPPED = 1505,
    PELOX_JOB_ENDED = 1506,
    PELOX_JOB_UNKNOWN = 1507,
    PELOX_JOB_STATE_12 = 1508,
    PELOX_JOB_STATE_4 = PELOX_JOB_QUEUED,
    PELOX_JOB_STATE_5 = PELOX_JOB_FAILED,
    PELOX_JOB_STATE_6 = PELOX_JOB_STOPPED
};

/* Job option bits for pelox_createJob, pelox_launchJob, pelox_reconnectToJob. */
#define PELOX_JOB_HANDLE_CLIENT_STEPS 1 /* The library carries out client steps while polling. */
#define PELOX_JOB_DEFER_TO_HOST 2       /* Client-step instructions go to the host (implies 1 at launch). */
#define PELOX_JOB_REPORT_1508 4         /* Server state 12 is reported as 1508. */
#define PELOX_JOB_SKIP_VALIDATION 8     /* Launch without validation and completeness test. */
#define PELOX_JOB_BLOCKING 16           /* Launch and wait for the job on the server. */
#define PELOX_JOB_PREVIEW_CLIENT_STEPS 32 /* This library's own extension, with 1: each client step is first
                                           shown to the host as its instructions (pelox_getClientInstructions),
                                           so the host sees 1502 for every step even without 2; the next poll
                                           carries out exactly the step shown, never one it could not show.
                                           Without 32, steps are handled as 1 and 2 say. */
/* Every other bit above 16 is reserved and ignored. */

/* pelox_getProtocolParameters flag bits. */
#define PELOX_PARAMS_ADVANCED 1         /* Include parameters of class "advanced". */
#define PELOX_PARAMS_IMPLEMENTATION 2   /* Include implementation parameters. */

/* Options for pelox_setPeloxOptions (values are always given as text). */
#define PELOX_OPTION_ERROR_CAPACITY 100    /* Error records kept (at least 1). */
#define PELOX_OPTION_ERROR_LOG 101         /* Path of the error log file. */
#define PELOX_OPTION_RESERVED 102          /* Accepted and ignored; does not initialise. */
#define PELOX_OPTION_RETRY_COUNT 103       /* Connection retries (at least 10). */
#define PELOX_OPTION_RETRY_PAUSE 104       /* Pause between retries in ms (at least 200). */
#define PELOX_OPTION_THROW_ON_FAILURE 105  /* Transport failures become error records. */
#define PELOX_OPTION_RESERVED_106 106      /* Accepted and ignored. */
#define PELOX_OPTION_VALIDATION_NOTICES 107 /* Report -2000 / -3000 notices. */

/* Selectors for pelox_getPeloxInfo. */
#define PELOX_INFO_RETRY_COUNT 103
#define PELOX_INFO_RETRY_PAUSE 104
#define PELOX_INFO_VERSION 200

/* Parameter property numbers (protocolInfo_getParameterProperty and family). */
#define PELOX_PROP_NAME 50
#define PELOX_PROP_TYPE 51
#define PELOX_PROP_HELP 52
#define PELOX_PROP_VALUES 53
#define PELOX_PROP_LEGAL_VALUES 54             /* validated */
#define PELOX_PROP_MULTIPLE_SELECT 55
#define PELOX_PROP_REQUIRED 56
#define PELOX_PROP_ADVANCED 57
#define PELOX_PROP_MEMBERS 58
#define PELOX_PROP_IS_VALID 59                 /* validated */
#define PELOX_PROP_INVALID_DETAILS 60          /* validated */
#define PELOX_PROP_IS_ENABLED 61               /* validated */
#define PELOX_PROP_DISABLED_DETAILS 62         /* validated */
#define PELOX_PROP_LEGAL_VALUES_ENFORCED 63    /* validated */
#define PELOX_PROP_IMPLEMENTATION 64

/* Mode bits for protocolInfo_getParameterPropertyType. */
#define PELOX_LOOKUP_BY_NAME 1
#define PELOX_LOOKUP_BY_INDEX 2
#define PELOX_KIND_BOOLEAN 8

/* Attribute selectors for protocolInfo_getProtocolStringAttribute. */
#define PELOX_ATTR_COMMENT 1
#define PELOX_ATTR_DESCRIPTION 2
#define PELOX_ATTR_GUID 3
#define PELOX_ATTR_FULL_NAME 4

/* ------------------------------------------------------------------------
 * Handles and version
 * ------------------------------------------------------------------------ */

/* Creates an empty object of a type 1..4 and returns its handle (never 0);
 * returns 0 for any other type. Handles are never reused. */
PELOX_API int32_t peloxImp_createObject(int32_t type);

/* Removes an object. Unknown types and handles are ignored. A result info
 * (type 4) is only emptied: its handle stays valid. */
PELOX_API void peloxImp_removeObject(int32_t type, int32_t handle);

/* Stores the object's size in *size. Codes: 0, -999/-998/-996/-993 (unknown
 * handle of that type), -981 (unknown type), -991 (size is null). */
PELOX_API int32_t peloxImp_getObjectSize(int32_t type, int32_t handle, int32_t *size);

/* Tells whether this library serves the interface version the host was built
 * for (dotted decimal, narrow text). Codes: 0 served, -976 not served, -984. */
PELOX_API int32_t peloxImp_checkVersion(const char *version);

/* ------------------------------------------------------------------------
 * Library settings and errors
 * ------------------------------------------------------------------------ */

/* Sets option 100..107 from its text value. Codes: 0, -982, error record, -984. */
PELOX_API int32_t pelox_setPeloxOptions(int32_t option, const pelox_char *value);

/* Writes setting 103, 104 or the library version (200) into a string.
 * Codes: 0, -999, -975, error record, -984. */
PELOX_API int32_t pelox_getPeloxInfo(int32_t selector, int32_t string);

/* Moves the messages of error record errorId into a string array and forgets
 * the record (it can be read once). Codes: 0, -998, -990, -984. */
PELOX_API int32_t pelox_getPeloxErrors(int32_t errorId, int32_t messages);

/* ------------------------------------------------------------------------
 * Value accessors
 * ------------------------------------------------------------------------ */

/* The string's text, or null for an unknown handle. The pointer stays valid
 * until the object is next written, emptied or removed: copy it first. */
PELOX_API const pelox_char *string_getText(int32_t string);

/* The string read as a boolean ("true", "yes", "1", ...); false for an
 * unknown handle. */
PELOX_API pelox_bool string_getBoolValue(int32_t string);

/* Copies element index of an array into a string. Codes: 0, -999, -998,
 * -997, error record, -984. */
PELOX_API int32_t stringArray_getStringAtIndex(int32_t array, uint32_t index, int32_t string);

/* Element index of an array, or null for an unknown handle or index. Valid
 * until the array is next written, emptied or removed. */
PELOX_API const pelox_char *stringArray_getTextAtIndex(int32_t array, uint32_t index);

/* Copies the names of a result info into a string array, in order.
 * Codes: 0, -998, -993, error record, -984. */
PELOX_API int32_t resultInfo_getNames(int32_t resultInfo, int32_t names);

/* Copies the values stored under a name (A-Z matched case-insensitively).
 * Codes: 0, -998, -991, -993, -992, error record, -984. */
PELOX_API int32_t resultInfo_getValues(int32_t resultInfo, const pelox_char *name, int32_t values);

/* ------------------------------------------------------------------------
 * Session and server
 * ------------------------------------------------------------------------ */

/* Logs in and writes the session identifier into a string. reserved is not
 * read. Codes: 0, -999, -991, -977, -974, -973, error record, -984. */
PELOX_API int32_t pelox_login(const pelox_char *serverUrl, const pelox_char *userName,
                              const pelox_char *password, void *reserved,
                              int32_t sessionIdHandle, const pelox_char *clientType);

/* Reads the server's exposed configuration settings into a result info.
 * Codes: 0, -993, -991, -974, -973, error record, -984. */
PELOX_API int32_t pelox_getServerConfiguration(const pelox_char *serverUrl, int32_t resultInfo);

/* Reads the server's status page into a result info (one name per line).
 * Codes: 0, -991, -989, -993, error record, -984. */
PELOX_API int32_t pelox_getServerStatus(const pelox_char *sessionId, int32_t resultInfo);

/* ------------------------------------------------------------------------
 * Catalogue
 * ------------------------------------------------------------------------ */

/* Lists the protocols and the sub-folders of a server folder.
 * Codes: 0, -998, -991, -989, -974, -973, error record, -984. */
PELOX_API int32_t pelox_listProtocols(const pelox_char *sessionId, const pelox_char *folder,
                                      int32_t protocolNames, int32_t folderNames);

/* Lists a job directory (or a sub-folder of it): folders, files and file
 * sizes (parallel to files). Codes: 0, -991, -998, -989, -988, -974, -973,
 * error record, -984. */
PELOX_API int32_t pelox_listContents2(const pelox_char *sessionId, const pelox_char *subFolder,
                                      int32_t folders, int32_t files, int32_t fileSizes,
                                      const pelox_char *jobId);

/* Stores the current version of a protocol in *version (-1 when none).
 * Codes: 0, -991, -989, -974, -973, error record, -984. */
PELOX_API int32_t pelox_getProtocolVersion(const pelox_char *sessionId, const pelox_char *componentName,
                                           int32_t *version);

/* Fills a protocol info with a protocol's parameters (flags: PELOX_PARAMS_*).
 * Codes: 0, -996, -991, -989, -974, -973, error record, -984. */
PELOX_API int32_t pelox_getProtocolParameters(const pelox_char *sessionId, const pelox_char *componentName,
                                              int32_t protocolInfo, int32_t flags);

/* Lists the server's calculable properties by category into a result info.
 * Codes: 0, -993, -991, -989, -974, -973, error record, -984. */
PELOX_API int32_t pelox_getCalculablePropertiesByCategory(const pelox_char *sessionId, int32_t resultInfo);

/* ------------------------------------------------------------------------
 * Protocol info
 * ------------------------------------------------------------------------ */

/* Copies property (50..64) of parameter index into a string array. May
 * return a validation result. Codes: 0, -998, -996, -995, -994, -969,
 * -3000, error record, -984. */
PELOX_API int32_t protocolInfo_getParameterProperty(int32_t protocolInfo, int32_t index,
                                                    int32_t property, int32_t values);

/* The same, the parameter found by name (A-Z case-insensitive).
 * Codes: as above, and -991 for a null name. */
PELOX_API int32_t protocolInfo_getParameterPropertyForName(int32_t protocolInfo, const pelox_char *name,
                                                           int32_t property, int32_t values);

/* Reads a boolean property into *value; mode is PELOX_KIND_BOOLEAN with
 * PELOX_LOOKUP_BY_NAME or PELOX_LOOKUP_BY_INDEX. Codes: 0, -991, -996, -978,
 * -995, -994, -969, -3000, error record, -984. */
PELOX_API int32_t protocolInfo_getParameterPropertyType(int32_t protocolInfo, const pelox_char *name,
                                                        int32_t index, int32_t property,
                                                        pelox_bool *value, int32_t mode);

/* Replaces a parameter's values with a null-terminated list of texts.
 * Codes: 0, -996, -995, -991, error record, -984. */
PELOX_API int32_t protocolInfo_setParameterValues(int32_t protocolInfo, int32_t index,
                                                  const pelox_char *const *values);

/* Replaces a parameter's values with one value; index -1 with a boolean text
 * switches validation on or off. Codes: as protocolInfo_setParameterValues. */
PELOX_API int32_t protocolInfo_setParameterValue(int32_t protocolInfo, int32_t index,
                                                 const pelox_char *value);

/* Replaces the values of the named parameter, or adds a new parameter.
 * Codes: 0, -991, -996, -970, -2000, error record, -984. */
PELOX_API int32_t protocolInfo_setOrAddParameter(int32_t protocolInfo, const pelox_char *name,
                                                 const pelox_char *const *values);

/* Asks for a global property to be returned as a job result.
 * Codes: 0, -991, -996, error record, -984. */
PELOX_API int32_t protocolInfo_addGlobalPropertyResult(int32_t protocolInfo, const pelox_char *name);

/* Writes a protocol text (PELOX_ATTR_*) into a string.
 * Codes: 0, -999, -996, -976, error record, -984. */
PELOX_API int32_t protocolInfo_getProtocolStringAttribute(int32_t protocolInfo, int32_t string,
                                                          int32_t selector);

/* protocolInfo_getProtocolStringAttribute with PELOX_ATTR_COMMENT. */
PELOX_API int32_t protocolInfo_getProtocolComment(int32_t protocolInfo, int32_t string);

/* protocolInfo_getProtocolStringAttribute with PELOX_ATTR_DESCRIPTION. */
PELOX_API int32_t protocolInfo_getProtocolDescription(int32_t protocolInfo, int32_t string);

/* ------------------------------------------------------------------------
 * Jobs
 * ------------------------------------------------------------------------ */

/* Reserves a job on the server and writes its identifier into a string.
 * Codes: 0, -991, -999, -989, -977, -974, -973, error record, -984. */
PELOX_API int32_t pelox_createJob(const pelox_char *sessionId, int32_t jobIdString, int32_t flags);

/* Launches a protocol as a job (into jobId when given) and writes the job
 * identifier into a string. Codes: 0, a notice <= -1000, -999, -991, -989,
 * -996, -988, -986, -981, -969, -974, -973, error record, -984. */
PELOX_API int32_t pelox_launchJob(const pelox_char *sessionId, const pelox_char *protocolName,
                                  int32_t protocolInfo, int32_t flags, int32_t jobIdString,
                                  const pelox_char *jobId);

/* pelox_launchJob with no job identifier. */
PELOX_API int32_t pelox_launchProtocol(const pelox_char *sessionId, const pelox_char *protocolName,
                                       int32_t protocolInfo, int32_t flags, int32_t jobIdString);

/* Polls a job: stores its state (1500..1508) in *state (which may not be
 * null), carries out client steps when asked to, and writes a status message
 * into a string array.
 * Codes: 0, -998, -991, -988, -989, -974, -973, error record, -984. */
PELOX_API int32_t pelox_getJobStatus(const pelox_char *sessionId, const pelox_char *jobId,
                                     int32_t *state, int32_t messages);

/* Reads a job's error texts and their component identifiers.
 * Codes: 0, -998, -991, -988, -985, -974, -973, error record, -984. */
PELOX_API int32_t pelox_getJobErrors(const pelox_char *sessionId, const pelox_char *jobId,
                                     int32_t errors, int32_t componentIds);

/* Reads a job's results into a result info.
 * Codes: 0, -993, -991, -988, -989, -974, -973, error record, -984. */
PELOX_API int32_t pelox_getJobResults(const pelox_char *sessionId, const pelox_char *jobId, int32_t resultInfo);

/* Asks the server to stop a job. Codes: 0, -991, -988, -974, -973, error record, -984. */
PELOX_API int32_t pelox_stopJob(const pelox_char *sessionId, const pelox_char *jobId);

/* Releases a job on the server and forgets it.
 * Codes: 0, -991, -988, -974, -973, error record, -984. */
PELOX_API int32_t pelox_releaseJob(const pelox_char *sessionId, const pelox_char *jobId);

/* Resumes a job that waits for the client (state 1502); otherwise does
 * nothing. Codes: 0, -991, -988, -974, -973, error record, -984. */
PELOX_API int32_t pelox_continueJob(const pelox_char *sessionId, const pelox_char *jobId);

/* Makes the library know a job started elsewhere (or sets the options of a
 * known one). Codes: 0, -991, -989, -988, -974, -973, error record, -984. */
PELOX_API int32_t pelox_reconnectToJob(const pelox_char *sessionId, const pelox_char *jobId, int32_t flags);

/* Moves a job's pending client instruction text into a string.
 * Codes: 0, -999, -991, -988, -987, error record, -984. */
PELOX_API int32_t pelox_getClientInstructions(int32_t instructionString, const pelox_char *jobId);

/* ------------------------------------------------------------------------
 * Files and components
 * ------------------------------------------------------------------------ */

/* Uploads a local file (absolute path) to a server path. A failed transfer
 * (including one that could not connect) is an error record.
 * Codes: 0, -991, -980, -989, error record, -984. */
PELOX_API int32_t pelox_uploadFile(const pelox_char *sessionId, const pelox_char *localPath,
                                   const pelox_char *serverPath);

/* Uploads a local file into a job's directory (jobId may be null or empty).
 * A failed transfer is an error record.
 * Codes: 0, -991, -980, -989, -988, error record, -984. */
PELOX_API int32_t pelox_uploadJobFile(const pelox_char *sessionId, const pelox_char *localPath,
                                      const pelox_char *serverPath, const pelox_char *jobId);

/* Downloads a server file to a local file (absolute path). The file is
 * replaced only when the whole download succeeded; a failed transfer is an
 * error record and leaves an existing file untouched.
 * Codes: 0, -991, -980, -989, error record, -984. */
PELOX_API int32_t pelox_downloadFile(const pelox_char *sessionId, const pelox_char *serverPath,
                                     const pelox_char *localPath);

/* Tells whether a server file exists (*exists may not be null).
 * Codes: 0, -991, -989, -974, -973, error record, -984. */
PELOX_API int32_t pelox_checkFileAccess(const pelox_char *sessionId, const pelox_char *serverPath,
                                        pelox_bool *exists);

/* Imports a component from a local XML file into a server folder.
 * Codes: 0, -991, -989, -980, -983, -971, -974, -973, error record, -984. */
PELOX_API int32_t pelox_importComponent(const pelox_char *sessionId, const pelox_char *serverFolder,
                                        const pelox_char *localFile);

/* Exports the latest version of a component to a local XML file.
 * Codes: 0, -991, -989, -980, -983, -971, -974, -973, error record, -984. */
PELOX_API int32_t pelox_exportComponent(const pelox_char *sessionId, const pelox_char *componentName,
                                        const pelox_char *localFile);

/* Deletes a component. Codes: 0, -991, -989, -974, -973, error record, -984. */
PELOX_API int32_t pelox_deleteComponent(const pelox_char *sessionId, const pelox_char *componentPath);

/* Moves or renames a component. Codes: 0, -991, -989, -974, -973, error record, -984. */
PELOX_API int32_t pelox_renameComponent(const pelox_char *sessionId, const pelox_char *oldLocation,
                                        const pelox_char *newLocation);

PELOX_END_DECL

#endif /* PELOXIMP_H */
