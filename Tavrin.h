// The one header a host includes: every public class and the platform
// vocabulary, with the library's names unqualified as on Windows.
#pragma once

#include "platform/Types.h"
#include "platform/Kernel.h"
#include "platform/Mfc.h"
#include "platform/Sync.h"
#include "platform/Window.h"
#include "platform/StringTable.h"
#include "platform/Comm.h"
#include "platform/ScriptedLine.h"
#include "platform/MessageBox.h"
#include "platform/Archive.h"
#include "platform/Registry.h"
#include "platform/Dialog.h"
#include "core/Device.h"
#include "serial/Com.h"
#include "net/Lan.h"
#include "net/RemoteCom.h"
#include "transfer/FileTransfer.h"
#include "modem/ModemManager.h"
#include "modem/Modem.h"
#include "modem/ModemSelectDlg.h"
#include "engine/Merge.h"
#include "engine/ScriptLine.h"
#include "engine/Packet.h"
#include "res/Resource.h"
#include "app/Library.h"

#define TAVRIN_VERSION_MAJOR 0
#define TAVRIN_VERSION_MINOR 1
#define TAVRIN_VERSION_PATCH 0
#define TAVRIN_VERSION_STRING "0.1.0"
