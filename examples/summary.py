import chopwiseCXX
for name, member in chopwiseCXX.TokenType.__members__.items():
    print(f"{name} {int(member)}")
