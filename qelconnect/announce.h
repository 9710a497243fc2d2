// The announce record that the daemon broadcasts once a second, and the firmware status page.
#ifndef QELCONNECT_ANNOUNCE_H
#define QELCONNECT_ANNOUNCE_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#define ANNOUNCE_RECORD_SIZE 50
#define ANNOUNCE_NAME_SIZE 10

// Device name: the host name when "HOSTNAME=" is the first line of the settings file, else the serial.
void AnnounceDeviceName(const char* ipconfig_path, uint32_t serial, char name[ANNOUNCE_NAME_SIZE + 1]);
// The same from the settings file's content (`ipconfig` null: no settings file).
void AnnounceDeviceNameFrom(FILE* ipconfig, uint32_t serial, char name[ANNOUNCE_NAME_SIZE + 1]);
void BuildAnnounceRecord(uint32_t serial, const char* name, uint8_t out[ANNOUNCE_RECORD_SIZE]);
void WriteFirmwarePage(const char* path);

#endif
