
6
app_measurement
f
sx