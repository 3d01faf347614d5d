#ifndef PELKO_MESSAGENAME_H
#define PELKO_MESSAGENAME_H

// The name of a server message type ("DATA_SET" for 6); "message" for a
// code the gateway does not know. Shared by the server link's console lines
// and the trace.
const char* messageName(unsigned int code);

#endif
