print("never runs"
