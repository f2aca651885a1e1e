# Sanitizer builds: set QUILLORA_SANITIZE to a list such as "address;undefined" or "thread".
