print("the extra cartridge")
