// Key constants of the workflow server: configuration keys, parameter names,
// property keys, delimiters and default ports. The server emulator and the
// library both use this table; docs/server-contract.md lists the same texts.
// Rule: a key's text is its name without the "QOR_" prefix; only the ports
// and the two delimiters are values of their own.
#pragma once

namespace qor {

// The service namespace URI bound to the "qor" prefix.
inline constexpr const char* kServiceNamespace = "urn:qorvane:workflow-server";

inline constexpr const char16_t* QOR_BLOCKINGJOBTIMEOUT = u"BLOCKINGJOBTIMEOUT";
inline constexpr const char16_t* QOR_CLUSTERMETHOD = u"CLUSTERMETHOD";
inline constexpr const char16_t* QOR_ClientErrorStack = u"ClientErrorStack";
inline constexpr const char16_t* QOR_ClientInstructions = u"ClientInstructions";
inline constexpr const char16_t* QOR_ClientRunDirectory = u"ClientRunDirectory";
inline constexpr const char16_t* QOR_ClientRunProgram = u"ClientRunProgram";
inline constexpr const char16_t* QOR_ClientTempDirectory = u"ClientTempDirectory";
inline constexpr const char16_t* QOR_ClientTempFiles = u"ClientTempFiles";
inline constexpr const char16_t* QOR_CommandLine = u"CommandLine";
inline constexpr const char16_t* QOR_ComponentAttributes = u"ComponentAttributes";
inline constexpr const char16_t* QOR_ComponentCheckpoint = u"ComponentCheckpoint";
inline constexpr const char16_t* QOR_ComponentGUID = u"ComponentGUID";
inline constexpr const char16_t* QOR_ComponentHelp = u"ComponentHelp";
inline constexpr const char16_t* QOR_Console = u"Console";
inline constexpr const char16_t* QOR_ConsoleHide = u"ConsoleHide";
inline constexpr const char16_t* QOR_ConsoleShow = u"ConsoleShow";
inline constexpr const char16_t* QOR_ConsoleShowAndKeepOpen = u"ConsoleShowAndKeepOpen";
inline constexpr const char16_t* QOR_DOWNLOADENDPOINT = u"DOWNLOADENDPOINT";
inline constexpr const char16_t* QOR_Destination = u"Destination";
inline constexpr const char16_t* QOR_Dir_RunInfo = u"Dir_RunInfo";
inline constexpr const char16_t* QOR_DownloadToClient = u"DownloadToClient";
inline constexpr const char16_t* QOR_Environment = u"Environment";
inline constexpr const char16_t* QOR_ExitStatus = u"ExitStatus";
inline constexpr const char16_t* QOR_FILEENDPOINT = u"FILEENDPOINT";
inline constexpr const char16_t* QOR_GridEngineNames = u"GridEngineNames";
inline constexpr const char16_t* QOR_GridEngineType = u"GridEngineType";
inline constexpr const char16_t* QOR_JobsDir = u"JobsDir";
inline constexpr const char16_t* QOR_JobsDirectory = u"JobsDirectory";
inline constexpr const char16_t* QOR_LOCALROOT = u"LOCALROOT";
inline constexpr const char16_t* QOR_NoUI = u"NoUI";
inline constexpr const char16_t* QOR_OnDataTypeError = u"OnDataTypeError";
inline constexpr const char16_t* QOR_OnGeneralError = u"OnGeneralError";
inline constexpr const char16_t* QOR_PropertyForExitStatus = u"PropertyForExitStatus";
inline constexpr const char16_t* QOR_ROOT = u"ROOT";
inline constexpr const char16_t* QOR_RUNNERENDPOINT = u"RUNNERENDPOINT";
inline constexpr const char16_t* QOR_Registrant = u"Registrant";
inline constexpr const char16_t* QOR_RunDirectory = u"RunDirectory";
inline constexpr const char16_t* QOR_SERVERVERSION = u"SERVERVERSION";
inline constexpr const char16_t* QOR_SSLROOT = u"SSLROOT";
inline constexpr const char16_t* QOR_ServerOS = u"ServerOS";
inline constexpr const char16_t* QOR_Source = u"Source";
inline constexpr const char16_t* QOR_Stderr = u"Stderr";
inline constexpr const char16_t* QOR_StderrProperty = u"StderrProperty";
inline constexpr const char16_t* QOR_Stdin = u"Stdin";
inline constexpr const char16_t* QOR_Stdout = u"Stdout";
inline constexpr const char16_t* QOR_StdoutProperty = u"StdoutProperty";
inline constexpr const char16_t* QOR_TransferComponentFileName = u"TransferComponentFileName";
inline constexpr const char16_t* QOR_TransferErrorsFileName = u"TransferErrorsFileName";
inline constexpr const char16_t* QOR_UPLOADENDPOINT = u"UPLOADENDPOINT";
inline constexpr const char16_t* QOR_USEAUTHENTICATION = u"USEAUTHENTICATION";
inline constexpr const char16_t* QOR_UploadToServer = u"UploadToServer";
inline constexpr const char16_t* QOR_UseCmd = u"UseCmd";
inline constexpr const char16_t* QOR_UsersDirectory = u"UsersDirectory";
inline constexpr const char16_t* QOR_WaitForExit = u"WaitForExit";
inline constexpr const char16_t* QOR_WebDir = u"WebDir";
inline constexpr const char16_t* QOR_WebExports = u"WebExports";
inline constexpr const char16_t* QOR_XMLDBENDPOINT = u"XMLDBENDPOINT";

// Values rather than names.
inline constexpr const char16_t* QOR_DefaultSslPort = u"443";
inline constexpr const char16_t* QOR_DefaultHttpPort = u"80";
inline constexpr const char16_t* QOR_Soap_ErrorDelimiter = u"|#|";
inline constexpr const char16_t* QOR_qorListMethodsDelimiter = u";";

}  // namespace qor
