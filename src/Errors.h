#ifndef PELKO_ERRORS_H
#define PELKO_ERRORS_H

// Error codes reported to the server in an ERROR message ("error" member).
const char ERROR_UART = 1;                    // the bus's serial port could not be opened
const char ERROR_COMMUNICATION = 2;           // defined, never sent
const char ERROR_NODE_NOT_RESPONDING = 3;     // defined, never sent
const char ERROR_PACKET_NONSENSE = 4;         // node failing twice in 10 s / broken discovery window / bad node list
const char ERROR_NO_NEW_NODES = 5;            // discovery window stayed silent
const char ERROR_FAILED_TO_ADDRESS_NODE = 6;  // defined, never sent
const char ERROR_JSON_NOT_VALID = 7;          // address or type-list answer was not JSON

#endif
