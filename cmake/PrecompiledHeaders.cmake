# Precompiled headers for the targets with many sources: Qt's and GoogleTest's headers are most of what
# every one of their files compiles. Each target gets its own (their compile definitions differ), and only
# the headers every file of it may see.
# Off by default, so that the everyday build (and `make test`) proves every file includes what it uses;
# the sanitizer builds, which compile everything again, turn it on. GCC 12 crashes (internal compiler
# error) on the engine's signal-processing files with a precompiled header under ThreadSanitizer, so there
# only the application and the tests get one.
option(QUILLORA_PCH "Precompile the common headers of the larger targets" OFF)

set(quillora_pch_std <algorithm> <chrono> <filesystem> <functional> <map> <memory> <optional> <string>
                     <thread> <vector>)
set(quillora_pch_qt_core <QByteArray> <QCoreApplication> <QDir> <QFile> <QObject> <QString> <QStringList>
                         <QTimer>)
set(quillora_pch_qt_app ${quillora_pch_qt_core} <QJsonDocument> <QJsonObject> <QNetworkReply> <QSettings>
                        <QUrl> <QWidget>)
set(quillora_pch_gtest <gtest/gtest.h>)

# quillora_precompile(<kind> <target>...): kind is std (the standard library), core (also Qt Core), app
# (also the network, settings and widgets) or test (core plus GoogleTest). Targets that do not exist are
# skipped.
function(quillora_precompile kind)
  if(NOT QUILLORA_PCH OR ("thread" IN_LIST QUILLORA_SANITIZE AND kind MATCHES "^(std|core)$"))
    return()
  endif()
  set(headers ${quillora_pch_std})
  if(kind STREQUAL "app")
    list(APPEND headers ${quillora_pch_qt_app})
  elseif(kind STREQUAL "test")
    list(APPEND headers ${quillora_pch_qt_core} ${quillora_pch_gtest})
  elseif(kind STREQUAL "core")
    list(APPEND headers ${quillora_pch_qt_core})
  endif()
  foreach(target IN LISTS ARGN)
    if(TARGET ${target})
      target_precompile_headers(${target} PRIVATE ${headers})
    endif()
  endforeach()
endfunction()

