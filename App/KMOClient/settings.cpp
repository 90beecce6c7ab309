// The client's settings and shared buffers, in static storage.
#include "kmoclient.h"

char Name[KMO_NAME_SIZE];
char HostGateway[KMO_HOST_SIZE] = "localhost";
int PortGateway = 8000;
char RootPath[KMO_ROOT_SIZE];
char Terminals[KMO_MAX_TERMINALS][KMO_TERMINAL_SIZE];
std::uint16_t TerminalCount = 1;
int WaitTimeout = 21600000;
int MaxTroqueles = 2;
int HeartbeatPeriod = 0;
char FarmCode[KMO_FARM_SIZE];
std::uint16_t NormalizeReply = 0;
std::uint16_t WaitMode = 0;
int ExchangeTimeout = 30;

char KMOClient_RequestBuffer[KMO_REQUEST_SIZE];
char KMOClient_SendBuffer[KMO_PACKET_SIZE];
char KMOClient_ReceiveBuffer[KMO_PACKET_SIZE];
