// Error classes shared by every layer below the window.
#pragma once

#include <stdexcept>
#include <string>

// Failures of the stream classes (open, create, read, write, seek). They carry
// the file name and the operating system's reason in their message.
class EStreamError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class EFOpenError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};

class EFCreateError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};

class EReadError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};

class EWriteError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
