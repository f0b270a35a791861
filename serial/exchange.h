// The send and receive handshakes between a Java thread and the port's
// worker, and their retry loops.
#pragma once

#include "port_slot.h"

// One send handshake: has the worker write txBuffer.
ResultCode requestWrite(PortSlot& slot);
// One receive handshake: waits for the worker to deliver a reply frame.
ResultCode awaitReply(PortSlot& slot);

// Copies the message into the slot and has it written; up to 3 attempts.
ResultCode sendMessage(int32_t index, const uint8_t* message, int32_t length);
// Waits for a reply frame into `reply` (room for `capacity` bytes), its
// length into `lengthCell`; up to 4 waits with the last message resent
// between them. A device that is gone ends it at once with
// ERROR_DEVICE_NOT_CONNECTED.
ResultCode receiveReply(int32_t index, uint8_t* reply, int32_t capacity, int32_t* lengthCell);
