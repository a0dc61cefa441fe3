/* A Windows host program of peloxImp.dll, written in C against the public
 * header and linked with the import library only, as a Windows application
 * would be. Run under Wine against a Linux emulator (run_with_emulator.sh):
 *
 *   host_job.exe LOCATOR-URL
 *
 * It checks the DLL's version resource against the library's own version,
 * logs in, edits a protocol's parameter and runs "Examples/Client Steps/
 * Round Trip", whose client steps (temporary file names, a download, an
 * upload, a program run through cmd.exe) the library carries out while this
 * program polls. Exit status 0 when everything held. */
#include <windows.h>

#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "peloxImp.h"

static int failures = 0;

static void check(int ok, const char *what) {
    printf("%s: %s\n", ok ? "ok  " : "FAIL", what);
    if (!ok) ++failures;
}

/* wchar_t and pelox_char are both UTF-16 code units on Windows. */
static const pelox_char *P(const wchar_t *text) { return (const pelox_char *)text; }
static const wchar_t *W(const pelox_char *text) { return (const wchar_t *)text; }

/* Prints the messages of an error record, or the status code. */
static void explain(int32_t status) {
    int32_t messages;
    int32_t count = 0, i;
    if (status <= 0) {
        printf("      status %d\n", (int)status);
        return;
    }
    messages = peloxImp_createObject(PELOX_OBJECT_STRING_ARRAY);
    if (pelox_getPeloxErrors(status, messages) == PELOX_OK &&
        peloxImp_getObjectSize(PELOX_OBJECT_STRING_ARRAY, messages, &count) == PELOX_OK)
        for (i = 0; i < count; ++i) printf("      %ls\n", W(stringArray_getTextAtIndex(messages, (uint32_t)i)));
    peloxImp_removeObject(PELOX_OBJECT_STRING_ARRAY, messages);
}

/* The DLL's VERSIONINFO file version, as "a.b.c.d". */
static int resourceVersion(wchar_t *out, size_t size) {
    HMODULE dll = GetModuleHandleW(L"peloxImp.dll");
    wchar_t path[MAX_PATH];
    DWORD ignored = 0, length;
    void *data;
    VS_FIXEDFILEINFO *info = NULL;
    UINT infoSize = 0;
    int ok = 0;
    if (!dll || !GetModuleFileNameW(dll, path, MAX_PATH)) return 0;
    length = GetFileVersionInfoSizeW(path, &ignored);
    if (!length) return 0;
    data = HeapAlloc(GetProcessHeap(), 0, length);
    if (data && GetFileVersionInfoW(path, 0, length, data) && VerQueryValueW(data, L"\\", (void **)&info, &infoSize) &&
        info) {
        swprintf(out, size, L"%u.%u.%u.%u", HIWORD(info->dwFileVersionMS), LOWORD(info->dwFileVersionMS),
                 HIWORD(info->dwFileVersionLS), LOWORD(info->dwFileVersionLS));
        ok = 1;
    }
    HeapFree(GetProcessHeap(), 0, data);
    return ok;
}

/* The first value of a result, or an empty text. */
static void resultValue(int32_t results, const wchar_t *name, wchar_t *out, size_t size) {
    int32_t values = peloxImp_createObject(PELOX_OBJECT_STRING_ARRAY);
    int32_t count = 0;
    out[0] = 0;
    if (resultInfo_getValues(results, P(name), values) == PELOX_OK &&
        peloxImp_getObjectSize(PELOX_OBJECT_STRING_ARRAY, values, &count) == PELOX_OK && count > 0)
        swprintf(out, size, L"%ls", W(stringArray_getTextAtIndex(values, 0)));
    peloxImp_removeObject(PELOX_OBJECT_STRING_ARRAY, values);
}

int wmain(int argc, wchar_t **argv) {
    int32_t text, session, info, jobId, messages, results, errors, ids;
    int32_t status, state = 0, count = -1;
    wchar_t version[64], sid[128], job[128], echo[256], value[256];
    const pelox_char *parameter[] = {P(L"hello from wine"), NULL};
    int polls;
    if (argc != 2) {
        fprintf(stderr, "usage: host_job LOCATOR-URL\n");
        return 2;
    }

    /* The version resource carries the library's own version. */
    text = peloxImp_createObject(PELOX_OBJECT_STRING);
    check(pelox_getPeloxInfo(PELOX_INFO_VERSION, text) == PELOX_OK, "pelox_getPeloxInfo(version)");
    check(resourceVersion(version, 64), "the DLL has a version resource");
    check(wcscmp(version, W(string_getText(text))) == 0, "its file version is the library's version");
    printf("      library %ls, resource %ls\n", W(string_getText(text)), version);
    {
        char narrow[64];
        size_t i;
        for (i = 0; version[i] && i + 1 < sizeof narrow; ++i) narrow[i] = (char)version[i];
        narrow[i] = 0;
        check(peloxImp_checkVersion(narrow) == PELOX_OK, "peloxImp_checkVersion accepts that version");
    }

    session = peloxImp_createObject(PELOX_OBJECT_STRING);
    status = pelox_login(P(argv[1]), P(L"tester"), P(L"secret"), NULL, session, P(L"{pelox} host_job"));
    check(status == PELOX_OK, "pelox_login");
    if (status != PELOX_OK) {
        explain(status);
        return 1;
    }
    swprintf(sid, 128, L"%ls", W(string_getText(session)));

    info = peloxImp_createObject(PELOX_OBJECT_PROTOCOL_INFO);
    status = pelox_getProtocolParameters(P(sid), P(L"Examples/Client Steps/Round Trip"), info, 0);
    check(status == PELOX_OK, "pelox_getProtocolParameters");
    if (status != PELOX_OK) explain(status);
    status = protocolInfo_setOrAddParameter(info, P(L"Text"), parameter);
    check(status == PELOX_OK, "protocolInfo_setOrAddParameter(Text)");

    jobId = peloxImp_createObject(PELOX_OBJECT_STRING);
    status = pelox_launchProtocol(P(sid), P(L"Examples/Client Steps/Round Trip"), info, PELOX_JOB_HANDLE_CLIENT_STEPS,
                                  jobId);
    check(status == PELOX_OK, "pelox_launchProtocol");
    if (status != PELOX_OK) {
        explain(status);
        return 1;
    }
    swprintf(job, 128, L"%ls", W(string_getText(jobId)));

    /* The library carries out each client step inside the poll. */
    messages = peloxImp_createObject(PELOX_OBJECT_STRING_ARRAY);
    for (polls = 0; polls < 600; ++polls) {
        status = pelox_getJobStatus(P(sid), P(job), &state, messages);
        if (status != PELOX_OK || state == PELOX_JOB_FINISHED || state == PELOX_JOB_FAILED ||
            state == PELOX_JOB_STOPPED || state == PELOX_JOB_ENDED)
            break;
        Sleep(100);
    }
    check(status == PELOX_OK && state == PELOX_JOB_FINISHED, "the job finished");
    if (status != PELOX_OK) explain(status);
    printf("      state %d after %d polls\n", (int)state, polls);

    errors = peloxImp_createObject(PELOX_OBJECT_STRING_ARRAY);
    ids = peloxImp_createObject(PELOX_OBJECT_STRING_ARRAY);
    status = pelox_getJobErrors(P(sid), P(job), errors, ids);
    check(status == PELOX_OK && peloxImp_getObjectSize(PELOX_OBJECT_STRING_ARRAY, errors, &count) == PELOX_OK &&
              count == 0,
          "the job has no errors");
    for (polls = 0; polls < count; ++polls)
        printf("      %ls\n", W(stringArray_getTextAtIndex(errors, (uint32_t)polls)));

    results = peloxImp_createObject(PELOX_OBJECT_RESULT_INFO);
    status = pelox_getJobResults(P(sid), P(job), results);
    check(status == PELOX_OK, "pelox_getJobResults");
    resultValue(results, L"TempIn", value, 256);
    check(value[0] != 0, "a temporary file name was made on the client");
    printf("      TempIn %ls\n", value);
    resultValue(results, L"Echo", echo, 256);
    check(wcsncmp(echo, L"hello from wine", 15) == 0, "the program ran through cmd.exe and its output came back");
    printf("      Echo \"%ls\"\n", echo);
    resultValue(results, L"EchoStatus", value, 256);
    check(wcscmp(value, L"0") == 0, "the program's exit status came back");
    resultValue(results, L"Done", value, 256);
    check(wcscmp(value, L"true") == 0, "the job's last step ran");

    peloxImp_removeObject(PELOX_OBJECT_RESULT_INFO, results);
    peloxImp_removeObject(PELOX_OBJECT_PROTOCOL_INFO, info);
    printf("%s\n", failures ? "host_job: FAILED" : "host_job: all checks held");
    return failures ? 1 : 0;
}
