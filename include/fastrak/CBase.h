// CBase: the abstract device that the host drives through its seven virtual operations.
#pragma once

#include <cstdint>

#include "fastrak/InitInfo.h"
#include "fastrak/Logger.h"
#include "fastrak/Records.h"

class CBase {
public:
    // Slot order is part of the binary interface: do not reorder.
    virtual int32_t init(InitInfo* info) = 0;                        // 0
    virtual bool start() = 0;                                        // 1
    virtual int32_t configure() = 0;                                 // 2
    virtual bool stop() = 0;                                         // 3
    virtual bool printSummary() = 0;                                 // 4
    virtual int32_t recvData(UpdateMask* mask, int32_t unused) = 0;  // 5
    virtual int32_t sendData(void* data, int32_t size) = 0;          // 6

protected:
    explicit CBase(const Logger* hostLogger);
    ~CBase();  // not virtual: deleteDev destroys the concrete device
    CBase(const CBase&) = delete;
    CBase& operator=(const CBase&) = delete;

    int32_t reserved;
    bool ownsLogger;
    Logger* logger;
    bool inputConnector;
    int32_t configureCode;
};
