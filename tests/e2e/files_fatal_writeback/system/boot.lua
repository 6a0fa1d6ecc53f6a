-- A cartridge changed just before the kernel fails: the fatal end writes it
-- back first, long before its delay would have passed.
mkdir("/saved.kvt")
store("/saved.kvt/main.lua", "print('kept')", '--[[tuk_format="raw", metadata_format="none"]]')
error("boom")
