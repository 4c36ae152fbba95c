// The device description with the device identifier, and the two service
// descriptions that control points fetch after discovery.
#pragma once

#include "http/http_connection.h"

#include <string>

// "uuid:896659847466-<hardware address>-<digits>", built once per process
// from the first non-zero hardware address and the friendly name.
const std::string& device_udn();

// The digit string of the identifier: a fixed default, or one digit per byte
// of the first 20 of the configured friendly name.
std::string udn_digits(const std::string& friendly_name, const char* fallback);

// The device description document for a listener's base URL.
std::string device_description(const std::string& base_url);

// The two service descriptions, built from their action and variable tables.
const std::string& content_directory_scpd();
const std::string& connection_manager_scpd();
const std::string& registrar_scpd(); // X_MS_MediaReceiverRegistrar

int serve_device_description(HttpConnection* connection);
int serve_content_directory_scpd(HttpConnection* connection);
int serve_connection_manager_scpd(HttpConnection* connection);
int serve_registrar_scpd(HttpConnection* connection);
