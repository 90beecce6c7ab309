// kmoclient: validates pharmacy prescriptions for point-of-sale terminals.
// Terminals leave "<name>in.txt" under RootPath; the client answers each with
// "<name>out.txt", from the gateway's reply or, when the gateway cannot
// validate, with a numbered local pre-authorisation.
#pragma once

#include <cstddef>
#include <cstdint>

// Settings, written once by KMOClient_Init and only read afterwards.
inline constexpr std::size_t KMO_NAME_SIZE = 5;          // 4 characters
inline constexpr std::size_t KMO_HOST_SIZE = 128;        // 127 characters
inline constexpr std::size_t KMO_ROOT_SIZE = 129;        // 128 characters
inline constexpr std::size_t KMO_FARM_SIZE = 128;        // 127 characters
inline constexpr int KMO_MAX_TERMINALS = 100;
inline constexpr std::size_t KMO_TERMINAL_SIZE = 100;    // entry size
inline constexpr std::size_t KMO_TERMINAL_NAME_MAX = 56; // characters of one name

extern char Name[KMO_NAME_SIZE];
extern char HostGateway[KMO_HOST_SIZE];
extern int PortGateway;
extern char RootPath[KMO_ROOT_SIZE];
extern char Terminals[KMO_MAX_TERMINALS][KMO_TERMINAL_SIZE];
extern std::uint16_t TerminalCount;
extern int WaitTimeout;
extern int MaxTroqueles;
extern int HeartbeatPeriod;
extern char FarmCode[KMO_FARM_SIZE];
extern std::uint16_t NormalizeReply;
extern std::uint16_t WaitMode;
// Seconds that one whole exchange with the gateway (connect, send, reply) may
// take; 0 waits without a bound.
extern int ExchangeTimeout;

// The shared buffers, used by one request at a time.
inline constexpr std::size_t KMO_REQUEST_SIZE = 1025;    // 1024 characters
inline constexpr std::size_t KMO_PACKET_SIZE = 4096;
extern char KMOClient_RequestBuffer[KMO_REQUEST_SIZE];
extern char KMOClient_SendBuffer[KMO_PACKET_SIZE];
extern char KMOClient_ReceiveBuffer[KMO_PACKET_SIZE];

// File names in the working directory.
inline constexpr const char* KMO_FILE_ANIO = "anio.txt";
inline constexpr const char* KMO_FILE_NROAUT = "nroaut.txt";
inline constexpr const char* KMO_FILE_AUTORESP = "kmoautoresp.txt";
inline constexpr const char* KMO_FILE_AUTORESP_TMP = "kmoautoresp.tmp";
inline constexpr const char* KMO_FILE_AUTORESP_VALID = "kmoautorespvalid.txt";
// The operator's stop file, under RootPath.
inline constexpr const char* KMO_FILE_STOP = "KMOCLIENTSTOP.tmp";

// Start-up, loop, shutdown. KMOClient_Init gives 0 when the client may serve,
// -1 for a refused command line (said on standard error) and 1 when -h or -V
// was answered on standard output.
int KMOClient_Init(int argc, char* argv[]);
int KMOClient_Process();
void KMOClient_Exit();

// Terminal files.
int KMOClient_ReadFileInput(const char* path);
int KMOClient_WriteFileOutput(const char* path, const char* text);
// Normalises in place; `cap` is the size of `text`'s buffer (the result is cut
// to fit it, never written past it).
void KMOClient_NormalizeResponse(char* text, std::size_t cap);

// Local replies.
void KMOClient_GenAutoResponse(int terminal, std::uint16_t origin);
void KMOClient_GenErrorResponse(int terminal, const char* code, const char* message);

// Gateway traffic besides requests.
int KMOClient_EnviarMensaje_de_vida();
int KMOClient_EnviarRecetasPreautorizadas();
